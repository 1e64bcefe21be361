"""The exit statuses of the vorn-gen command line, apart from it, so that its
start-up can use them before the command line and its libraries are loaded."""

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
