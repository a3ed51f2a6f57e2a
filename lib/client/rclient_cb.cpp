#include "lib/client/rclient_cb.h"

int RClient_CB::response_cb(void* data, unsigned int length, void* cb) {
    RClient_CB* self = static_cast<RClient_CB*>(cb);
    return self->m_reader(self->m_owner, static_cast<char*>(data), length);
}
