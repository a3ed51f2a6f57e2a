// ostrel_agent: the daemon that serves one view.
//
//   ostrel_agent <view_storage_location> [-help] [-trace_level 0-5]
//                [-trace_subsystem OSTRELAGENT:OSTRELACLIENT]
//   ostrel_agent -Ver | -Version | -VerAll      (any letter case, first only)
//
// The process forks once. The parent stays behind as a watcher: it passes
// termination signals on to the child, waits for it, removes the view's
// listener pipe and exits with the child's status (2 when the child was
// killed). The child answers the first request from standard input on
// standard output (StartView or MkView), serves the view until EndView or a
// termination signal, and exits with
//   0  an orderly end (also the version options and -help),
//   1  a command-line error,
//   2  a start-up failure, a failed first request, or a termination signal
//      before the first request arrived,
//   4  the main loop failed, or the view could not be shut down cleanly
//      after a termination signal.
// Nothing but the start-up reply is ever written to standard output.
//
// The view is unregistered once, while this process still holds the storage
// lock: by EndView, else by the main thread (or the exit hook) before the
// view object goes. Once the lock is gone, another daemon may serve the
// storage, and its registration is not this process's to remove.

#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bin/ostrel_agent_messages.h"
#include "bin/ostrel_agent_signals.h"
#include "lib/client/http_client_base.h"
#include "lib/core/ostrelagent_bin_msg.h"
#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/requests/ostrelagent_conn_handler_unix.h"
#include "lib/requests/ostrelagent_endview.h"
#include "lib/view/ostrelagent_view.h"
#include "lib/view/ostrelagent_view_handler.h"
#include "platform/i18n/i18n.h"
#include "platform/imsg/imsg_verid.h"
#include "platform/korva/korva.h"
#include "platform/norvanethread/norvanethread.h"
#include "platform/pfm/pfm.h"
#include "platform/qel/qel.h"
#include "platform/utl/strutl.h"
#include "platform/utl/sysutl.h"
#include "platform/vek/vek.h"
#include "xml/norvane_xml_msg.h"

namespace {

const char* const USAGE =
    "ostrel_agent <view_storage_location> [-help] [-trace_level 0-5] "
    "[-trace_subsystem OSTRELAGENT:OSTRELACLIENT]\n";

const char* const kName = "ostrel_agent";
const char* const kClass = "ostrel_agent";

// Process-wide state of the entry. g_view_storage is set once, before any
// other thread exists, and never changed.
char* g_view_storage = nullptr;
OstrelAgent_View_Handler* g_view_handler = nullptr;
int cleanup_required = 1;
norvanethread_t force_tid;
// The status with which the process entry logged the end of the process,
// or -1. The exit hook adds no second record that says the same; an exit
// through pfm_exit anywhere else, or with another status than the one the
// entry logged, keeps the hook's record of the exit status.
std::atomic<int> exit_logged{-1};

// Where the main thread is, as the forced-shutdown thread sees it when a
// termination signal arrives:
//   READING_REQUEST  the first request has not arrived: nothing has been
//                    made, so the process ends at once (with the mutex held,
//                    so that the main thread cannot take a request up);
//   ANSWERING        the first request runs: the signal waits until it is
//                    answered and then finds one of the two phases below;
//   SERVING          a forced EndView shuts the view down and ends the loop;
//   ENDING           the main thread is on its way out: nothing to do.
// The main thread takes the mutex to enter ENDING before it deletes the view
// handler's objects, so it waits for a forced EndView under way.
enum class Phase { READING_REQUEST, ANSWERING, SERVING, ENDING };
norvanethread_mutex_t forced_shutdown_mutex = NORVANETHREAD_MUTEX_INITIALIZER;
norvanethread_cond_t phase_changed = NORVANETHREAD_COND_INITIALIZER;
Phase phase = Phase::READING_REQUEST;  // guarded by forced_shutdown_mutex
// The status of a forced EndView that could not shut the view down cleanly;
// 0 otherwise. Guarded by forced_shutdown_mutex.
int forced_failure = 0;

void enter_phase(Phase next) {
    norvanethread_mutex_lock(&forced_shutdown_mutex);
    phase = next;
    norvanethread_cond_broadcast(&phase_changed);
    norvanethread_mutex_unlock(&forced_shutdown_mutex);
}

// Unregisters the view when this process registered it and nothing has
// unregistered it since. Callers run it while the view object, and with it
// the storage lock, still exists.
void unregister_own_view(OstrelAgent_Log* log) {
    OstrelAgent_View* view = OstrelAgent_View_Handler::get_view();
    if (view == nullptr) return;
    const int status = view->unregister_once();
    if (status != 0) {
        log->write_log(OSTRELAGENT_LOG_ERROR, &_ostrela_lib_lib_msg_table,
                       OstrelAgent_Lib_Msg::UNREGISTER_FAILED, qel_strerror(status));
    }
}

// The program's version line and, with `all`, those of the platform
// libraries and of the program's own components, in this order.
void print_version_lines(bool all) {
    imsg_print_verid(kName);
    if (!all) return;
    libhalvicvek_print_verid();
    libhalvicqel_print_verid();
    libhalvickorva_print_verid();
    libhalvici18n_print_verid();
    for (const char* component : {"libostrelxdr", "librclient", "libostrel_agent_db",
                                  "libostrel_agent_ns", "libhalvicnorvanexml",
                                  "libhalvicostrelagent"})
        imsg_print_verid(component);
}

bool is_version_option(const char* arg) {
    return strutl_stricoll(arg, "-Ver") == 0 || strutl_stricoll(arg, "-Version") == 0 ||
           strutl_stricoll(arg, "-VerAll") == 0;
}

// Usage errors are diagnostics and go to standard error; what the user asked
// for (-help, the version lines) goes to standard output.
[[noreturn]] void usage_error(const char* program) {
    std::fprintf(stderr, "usage error\nusage: %s %s\n", program, USAGE);
    pfm_exit(1);
}

// The storage location as an absolute path, so that nothing later depends
// on the working directory (which the view database changes).
char* absolute_storage(const char* location) {
    std::string path = location;
    if (path[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) != nullptr) path = std::string(cwd) + "/" + path;
    }
    path = OstrelAgent_Util::sanitize_path(path);
    if (path.empty()) path = "/";
    return strdup(path.c_str());
}

// Whether a process other than the caller holds the storage's lock: then
// another agent serves the view and its listener pipe is not ours to remove.
bool storage_locked_elsewhere(const char* storage) {
    const std::string lock_file = std::string(storage) + "/" + OstrelAgent_View::LOCK_FILE;
    const int fd = open(lock_file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) return false;
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 0;
    const bool held = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    close(fd);
    return held;
}

[[noreturn]] void run_watcher(pid_t child) {
    // Whoever started the daemon knows this process: its termination
    // signals are meant for the daemon.
    int wait_status = 0;
    const bool waited_for_child = ostrel_agent_watch_child(child, &wait_status) == 0;
    // The child ended; when another agent holds the view's lock the child
    // ended because that agent serves the view, and the pipe is the other's.
    if (!storage_locked_elsewhere(g_view_storage)) {
        std::string pipe = g_view_storage;
        OstrelAgent_Conn_Handler_Unix::listener_pipe_name(pipe);
        std::remove(pipe.c_str());
    }
    _exit(waited_for_child && WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 2);
}

void* ostrel_agent_force_shutdown_thread(void*) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "force_shutdown_thread");
    const int signal_number = ostrel_agent_wait_for_shutdown_signal();
    if (signal_number == 0) return nullptr;

    OstrelAgent_Trace now(OstrelAgent_Trace::OSTRELAGENT, kClass, "ostrel_agent_shutdown_now");
    // The process ends: a remote call under way (the first request's, or a
    // running update's) need not be waited for.
    Http_Client_Base::cancel_transfers();
    norvanethread_mutex_lock(&forced_shutdown_mutex);
    while (phase == Phase::ANSWERING) norvanethread_cond_wait(&phase_changed, &forced_shutdown_mutex);
    if (phase == Phase::READING_REQUEST) {
        // Nothing exists to shut down, and the request may never come.
        now.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "signal %d before the first request",
                       signal_number);
        cleanup_required = 0;
        pfm_exit(2);
    }
    if (phase == Phase::ENDING) {
        norvanethread_mutex_unlock(&forced_shutdown_mutex);
        now.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "the daemon is ending already");
        return nullptr;
    }
    OstrelAgent_Log* log = OstrelAgent_Log::get_instance(g_view_storage);
    log->write_log(OSTRELAGENT_LOG_WARN, &_ostrela_bin_bin_msg_table,
                   OstrelAgent_Bin_Msg::INTERRUPTED);
    {
        OstrelAgent_Endview endview(true);
        endview.perform_endview();
        const int status = endview.get_status();
        now.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "forced EndView: %d", status);
        if (status != OstrelAgent_Status::SHUTDOWN_IN_PROGRESS) {
            // The daemon ends all the same, with this failure as its outcome.
            if (!endview.get_message().empty())
                log->write_log(OSTRELAGENT_LOG_ERROR, "%s", endview.get_message().c_str());
            forced_failure = status;
        }
    }
    norvanethread_mutex_unlock(&forced_shutdown_mutex);
    return nullptr;
}

void ostrel_agent_on_exit(int status) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "ostrel_agent_on_exit");
    if (g_view_storage == nullptr) return;
    OstrelAgent_Log* log = OstrelAgent_Log::get_instance(g_view_storage);
    if (cleanup_required) {
        OstrelAgent_Trace cleanup(OstrelAgent_Trace::OSTRELAGENT, kClass, "do_cleanup");
        cleanup.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Status = %d", status);
        if (g_view_handler != nullptr) {
            // The view object still holds the storage lock: the last moment
            // at which this process may unregister what it registered.
            unregister_own_view(log);
            cleanup.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Deleting view handler");
            delete g_view_handler;
            g_view_handler = nullptr;
        }
        // Without the handler no view object of this process is left, and no
        // storage lock: what the process registered was unregistered before
        // the lock went, and the storage may be another daemon's by now.
        OstrelAgent_View_Handler::clean_up();
    }
    if (exit_logged.load() != status)
        log->write_log(OSTRELAGENT_LOG_INFO, &_ostrela_bin_bin_msg_table, OstrelAgent_Bin_Msg::EXITING,
                       status);
}

// Tracing from a level and a subsystem list, into this process's file.
void start_tracing(const std::string& subsystems, int level) {
    OstrelAgent_Trace::set_trace(subsystems.c_str(), level);
    OstrelAgent_Trace::setup_trace_file(OstrelAgent_Util::process_user().c_str(), getpid());
}

[[noreturn]] void run_child(int trace_level, const std::string& trace_subsystems) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "main");

    // The first call of the log's singleton, while the process has one
    // thread; it stays off until the first request is known to be good.
    OstrelAgent_Log* log = OstrelAgent_Log::get_instance(g_view_storage);

    if (trace_level > 0) start_tracing(trace_subsystems, trace_level);
    ostrela_install_message_redirection(log);

    // The command line, when it switched tracing on, wins over the file.
    OstrelAgent_Config* config = OstrelAgent_Config::get_instance();
    if (!OstrelAgent_Trace::tracing_enabled()) {
        const int level = static_cast<int>(
            std::strtol(config->find(OstrelAgent_Config::OSTRELAGENT_TRACE_LEVEL).c_str(), nullptr, 10));
        if (level > 0)
            start_tracing(config->find(OstrelAgent_Config::OSTRELAGENT_TRACE_SUBSYSTEM), level);
    }
    ostrela_trace_pending_messages();

    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Creating view handler for location %s",
                     g_view_storage);
    g_view_handler = OstrelAgent_View_Handler::get_instance(g_view_storage);
    if (g_view_handler == nullptr) pfm_exit(2);

    // Nobody joins the forced-shutdown thread: it is detached.
    norvanethread_attr_t detached;
    pthread_attr_init(&detached);
    pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
    if (norvanethread_create(&force_tid, &detached, ostrel_agent_force_shutdown_thread, nullptr) != 0)
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "cannot start the forced-shutdown thread");
    pthread_attr_destroy(&detached);

    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Status before prepare view %d", 0);
    int status = g_view_handler->prepare_view([] { enter_phase(Phase::ANSWERING); });
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Status after prepare view %d", status);
    int exit_status = 2;

    if (status == 0) {
        OstrelAgent_Log::g_enabled = 1;
        log->write_log(OSTRELAGENT_LOG_INFO, &_ostrela_bin_bin_msg_table,
                       OstrelAgent_Bin_Msg::USING_VIEW, g_view_storage, sysutl_myhostname());
        // A signal that came while the request ran shuts the view down now.
        enter_phase(Phase::SERVING);
        status = g_view_handler->run();
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Exit status from run %d", status);
        exit_status = status != 0 ? 4 : 0;
    }

    // Another agent's view, or a view that existed before this MkView, is
    // not this process's to clean up.
    if (status == 3 || status == OstrelAgent_Status::VIEW_EXISTS) {
        cleanup_required = 0;
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "cleanup not required ");
    }

    norvanethread_mutex_lock(&forced_shutdown_mutex);
    phase = Phase::ENDING;
    norvanethread_cond_broadcast(&phase_changed);
    const int forced = forced_failure;
    norvanethread_mutex_unlock(&forced_shutdown_mutex);
    if (status == 0 && forced != 0) {
        status = forced;
        exit_status = 4;
    }

    if (cleanup_required) unregister_own_view(log);
    delete g_view_handler;
    g_view_handler = nullptr;

    if (status != 0)
        log->write_log(OSTRELAGENT_LOG_ERROR, &_ostrela_bin_bin_msg_table,
                       OstrelAgent_Bin_Msg::EXITING, status);
    else
        log->write_log(OSTRELAGENT_LOG_INFO, &_ostrela_bin_bin_msg_table,
                       OstrelAgent_Bin_Msg::EXITING, 0);
    exit_logged = status;
    pfm_exit(exit_status);
}

} // namespace


int main(int argc, char** argv) {
    const char* program = argv[0];

    // Version options: first argument only, any letter case; nothing else
    // is set up yet.
    if (argc > 1 && is_version_option(argv[1])) {
        print_version_lines(strutl_stricoll(argv[1], "-VerAll") == 0);
        return 0;
    }

    ostrela_install_message_redirection(nullptr);
    vek_system_init();
    std::setlocale(LC_ALL, "");

    // Owner and group keep every permission that a creating call asks for;
    // the inherited "other" bits stay in force.
    mode_t mask = 0;
    if (sysutl_get_umask(&mask) != 0)
        pfm_assert_fail("sysutl_get_umask(&mask) == 0", __FILE__, __LINE__);
    else if (sysutl_initialize_umask(0, mask & ~static_cast<mode_t>(0770)) != 0)
        pfm_assert_fail("sysutl_initialize_umask(false, mask) == 0", __FILE__, __LINE__);

    // TERM, INT and HUP wait for the forced-shutdown thread; PIPE is ignored.
    if (ostrel_agent_block_termination_signals() != 0)
        pfm_assert_fail("ostrel_agent_block_termination_signals() == 0", __FILE__, __LINE__);
    pfm_signal(SIGPIPE, PFM_SIG_IGNORE);

    pfm_on_exit(ostrel_agent_on_exit, 0);

    if (argc < 2) {
        std::fprintf(stderr, "Usage: %s %s\n", program, USAGE);
        pfm_exit(1);
    }
    int trace_level = 0;
    std::string trace_subsystems;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "-trace_level") == 0) {
            if (i + 1 >= argc) usage_error(program);
            trace_level = static_cast<int>(std::strtol(argv[++i], nullptr, 10));
        } else if (std::strcmp(arg, "-trace_subsystem") == 0) {
            if (i + 1 >= argc) usage_error(program);
            trace_subsystems = argv[++i];
        } else if (std::strcmp(arg, "-help") == 0) {
            std::printf("%s %s\n", program, USAGE);
            pfm_exit(0);
        } else if (i == 1 && arg[0] != '\0') {
            g_view_storage = absolute_storage(arg);
        } else {
            usage_error(program);
        }
    }
    if (g_view_storage == nullptr) usage_error(program);

    // The daemon and its watcher form a process group of their own. A
    // session leader (started by setsid or a service manager) leads its
    // group already, and may not move to another.
    if (getpgrp() != getpid() && setpgid(0, 0) != 0) {
        std::fprintf(stderr, "%s: cannot make a process group of its own: %s\n", program, std::strerror(errno));
        _exit(2);
    }

    const pid_t child = norvanethread_fork(2);
    if (child == -1) pfm_exit(2);
    if (child > 0) run_watcher(child);
    run_child(trace_level, trace_subsystems);
}
