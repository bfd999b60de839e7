/* velmdsd - decode DSD files, write DSD test signals, and show what a DSD file holds. */
#include <cstdio>
#include <cstring>

#include "cli.h"

static const char kUsage[] =
    "usage:\n"
    "  velmdsd demo\n"
    "  velmdsd info FILE.dsf|FILE.dff [--rate HZ] [--json]\n"
    "  velmdsd decode FILE -o OUT.wav|- [--rate HZ] [--float] [--gain DB] [--dop] [--raw]\n"
    "                 [--start SECONDS] [--duration SECONDS]\n"
    "  velmdsd make-test OUT.dsf|OUT.dff [--rate HZ] [--channels N] [--seconds S] [--freq HZ]\n"
    "                 [--level DBFS] [--artist TEXT] [--title TEXT] [--comment TEXT]\n"
    "\n"
    "make-test writes a sine (default 1000 Hz, -6 dBFS, 5 s, 2 channels, 2822400 Hz) through a\n"
    "7th-order sigma-delta modulator; levels up to -3 dBFS are supported.\n";

int main(int argc, char **argv)
{
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    const char *cmd = argv[1];
    if (strcmp(cmd, "demo") == 0)
        return cli::CmdDemo(argc - 2, argv + 2);
    if (strcmp(cmd, "info") == 0)
        return cli::CmdInfo(argc - 2, argv + 2);
    if (strcmp(cmd, "decode") == 0)
        return cli::CmdDecode(argc - 2, argv + 2);
    if (strcmp(cmd, "make-test") == 0)
        return cli::CmdMakeTest(argc - 2, argv + 2);
    fprintf(stderr, "velmdsd: unknown command '%s'\n%s", cmd, kUsage);
    return 2;
}
