// vendaroscope-microphone: publishes the virtual microphone "Vendaroscope
// Program Audio" into the user's running audio server. Usage:
//   vendaroscope-microphone CONFIGURATION
// CONFIGURATION is a PipeWire client configuration whose modules (the
// loopback among them) make the microphone. It runs until it is ended
// (exit 0), and ends with a failure (exit 3) when the audio server goes away
// or is not there: the microphone's nodes are gone with it, and the service
// that runs this program starts it again to publish them anew. (pipewire -c
// with the same file would publish the microphone too, but stays behind,
// silent, after the server restarts.)
#include <pipewire/pipewire.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<bool> serverGone{false};

void onCoreError(void*, uint32_t id, int, int res, const char* message) {
    if (id == PW_ID_CORE) {
        std::fprintf(stderr, "vendaroscope-microphone: the audio server went away (%s, %d)\n",
                     message ? message : "", res);
        serverGone = true;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf(
            "usage: vendaroscope-microphone /path/to/configuration.conf\n"
            "Publishes the microphone \"Vendaroscope Program Audio\" into the running\n"
            "PipeWire server from a client configuration. Run as a user service by the\n"
            "application; ends with status 3 when the server goes away.\n");
        return 0;
    }
    if (argc != 2 || argv[1][0] != '/') {
        std::fprintf(stderr, "usage: vendaroscope-microphone /path/to/configuration.conf\n");
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    pw_init(&argc, &argv);
    pw_thread_loop* loop = pw_thread_loop_new("vsc-microphone", nullptr);
    if (!loop) return 1;
    // The context reads the configuration and loads its modules.
    pw_context* context = pw_context_new(
        pw_thread_loop_get_loop(loop), pw_properties_new(PW_KEY_CONFIG_NAME, argv[1], nullptr), 0);
    if (!context) {
        std::fprintf(stderr, "vendaroscope-microphone: cannot load %s\n", argv[1]);
        return 3;
    }
    if (pw_thread_loop_start(loop) < 0) return 1;

    // A connection of our own, only to notice the server going away.
    pw_thread_loop_lock(loop);
    pw_core* core = pw_context_connect(context, nullptr, 0);
    spa_hook listener{};
    static const pw_core_events events = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.error = onCoreError;
        return e;
    }();
    if (core) pw_core_add_listener(core, &listener, &events, nullptr);
    pw_thread_loop_unlock(loop);
    if (!core) {
        std::fprintf(stderr, "vendaroscope-microphone: no audio server to publish into\n");
        return 3;
    }
    std::fprintf(stdout, "vendaroscope-microphone ready\n");
    std::fflush(stdout);

    int status = 0;
    for (;;) {
        timespec poll{0, 250'000'000};
        if (sigtimedwait(&stop, nullptr, &poll) >= 0) break;
        if (serverGone) {
            status = 3;
            break;
        }
    }
    pw_thread_loop_lock(loop);
    spa_hook_remove(&listener);
    pw_core_disconnect(core);
    pw_thread_loop_unlock(loop);
    pw_thread_loop_stop(loop);
    pw_context_destroy(context);
    pw_thread_loop_destroy(loop);
    return status;
}
