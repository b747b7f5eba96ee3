// ZELServer-console: the server daemon and its control tool.
#include "console/dmq_zel_cmd_words.hpp"
#include "console/dmq_zel_console_main.hpp"

// A packaged build names its installed configuration; otherwise "server.ini" beside the program.
#ifdef ZEL_DEFAULT_CONFIG_FILE
static constexpr zel::AnsiView kDefaultConfigFileName = ZEL_DEFAULT_CONFIG_FILE;
#else
static constexpr zel::AnsiView kDefaultConfigFileName = zel::ZELDefaultConfigFileName;
#endif

int main(int argc, char** argv) { return zel::ZELServerConsoleMain(argc, argv, kDefaultConfigFileName); }
