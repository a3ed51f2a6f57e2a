#pragma once
// What the HTTP client hands each piece of a reply body to: a reader
// procedure and the object it reads for (a remote command). The reader
// returns 0 to go on; anything else stops the transfer, which then fails.

class RClient_CB {
public:
    typedef int (*Reader)(void* owner, char* data, unsigned int length);

    RClient_CB(Reader reader, void* owner) : m_reader(reader), m_owner(owner) {}

    // The body callback's entry: `cb` is the RClient_CB.
    static int response_cb(void* data, unsigned int length, void* cb);

private:
    Reader m_reader;
    void* m_owner;
};
