// Process entry: signal handling, the exit hook and the server thread.
#ifndef RS232CDAEMON_H
#define RS232CDAEMON_H

class RS232CDaemon {
  public:
    RS232CDaemon() = delete;

    // What main returns once the server thread has ended; 1 when it could not serve.
    static int exit_value;
    // Exit hook.
    static void shutdown();
    // SIGINT and SIGHUP, as the thread that takes signals sees them: writes one line; serving
    // goes on.
    static void handler(int signum);
};

#endif
