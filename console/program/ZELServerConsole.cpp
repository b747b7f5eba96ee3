// ZELServer-console: the server daemon and its control tool.
#include "console/dmq_zel_console_main.hpp"

int main(int argc, char** argv) { return zel::ZELServerConsoleMain(argc, argv); }
