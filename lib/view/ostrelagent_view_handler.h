#pragma once
// The process-level controller of the one view that the daemon serves.
//
// The process entry makes it for the storage location of the command line
// and uses it twice: prepare_view answers the first request (StartView for
// an existing view, MkView for a new one) from standard input and writes the
// reply to standard output; run then starts the request pool, the kernel
// request threads and the connection listener, runs the event loop on the
// main thread until the view is shut down (EndView, or a termination signal
// through the forced-shutdown thread) and stops what it started.
//
// The handler owns the process's one view object: StartView or MkView
// makes it and installs it with set_view during the first request, through
// the view factory that the handler is (OstrelAgent_View_Factory, registered
// when the handler is made); every operation reaches it through get_view
// (the floors beneath lib/view through OstrelAgent_View_Base::get_view), and
// the handler's destructor deletes it.
//
// Made, the handler also wires the floors that call upwards at run time to
// the implementations above them (wire_floors).
//
// Threads: get_instance, prepare_view, run, set_view and the destructor run
// on the main thread. get_view is called from every thread that serves
// requests and reads the view pointer without a lock: the view is installed
// before those threads start and stays until they have stopped.

#include <functional>
#include <istream>
#include <ostream>
#include <string>

#include "lib/requests/ostrelagent_view_factory.h"
#include "platform/norvanethread/norvanethread.h"

class OstrelAgent_View;

class OstrelAgent_View_Handler : public OstrelAgent_View_Factory {
public:
    // The one handler. The first call makes it for `storage`; a later call
    // with the same location returns it, with another location null.
    static OstrelAgent_View_Handler* get_instance(const std::string& storage);

    // Deletes the view object when one is set.
    ~OstrelAgent_View_Handler() override;

    OstrelAgent_View_Handler(const OstrelAgent_View_Handler&) = delete;
    OstrelAgent_View_Handler& operator=(const OstrelAgent_View_Handler&) = delete;

    // Answers the first request from standard input on standard output.
    // 0 once the request succeeded and the view's metadata could be read;
    // else the request's status (20019 when it installed no view; 20021,
    // with nothing run, when a line of the request did not fit).
    // `request_read`, when given, is called once the request has been read
    // and before anything is done with it (the process entry tells from it
    // whether a termination signal can still end the process at once).
    int prepare_view(const std::function<void()>& request_read = nullptr);
    // The same on the given streams.
    int prepare_view(std::istream& in, std::ostream& out,
                     const std::function<void()>& request_read = nullptr);

    // Serves the view until shutdown. 0 after an orderly shutdown; 20003 when
    // the kernel request listener, the connection listener or the thread
    // manager cannot be had; else the status of the step that failed.
    int run();

    // Installs the view object (once, on the main thread; a violation is
    // reported and the object is not installed).
    static void set_view(OstrelAgent_View* view);
    // The view object, or null while none is set.
    static OstrelAgent_View* get_view();

    // Takes the request lock (nothing releases it).
    static void lock_request();

    // Releases the remote client's pooled transfer handles and shuts the
    // transfer library down. Called at exit.
    static void clean_up();

    const std::string& get_storage() const { return m_storage; }

    // Registers, with each floor that calls the one above it at run time,
    // the implementation that floor calls: the content fetch that the
    // namespace cache asks, the namespace cache that the view database
    // flushes, the mount that the mounted-VOB registry repeats. The handler
    // does it when it is made; tests of a floor without a handler call it
    // (or the one registration they need) themselves.
    static void wire_floors();

    // --- the view factory ---

    OstrelAgent_View_Base* get_view_from_stg(const std::string& storage) override;
    OstrelAgent_View_Base* get_view_from_list(const std::string& storage, const std::string& cltxt_cache_dir,
                                              const std::string& view_uuid, const std::string& server_tag,
                                              const std::string& text_mode, const std::string& view_type,
                                              int preserve) override;
    void install_view(OstrelAgent_View_Base* view) override;

private:
    explicit OstrelAgent_View_Handler(const std::string& storage);

    std::string m_storage;

    static OstrelAgent_View_Handler* g_instance;
    static norvanethread_mutex_t g_request_lock;
    // The thread that made the handler: the process's main thread.
    static norvanethread_t g_main_thread;
};
