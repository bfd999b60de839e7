/* velmdsd - decode DSD files, write DSD test signals, and show what a DSD file holds. */
#include <csignal>
#include <cstdio>
#include <cstring>

#ifdef VELMDSD_HAVE_SOXR
#include <soxr.h>
#endif

#include "cli.h"

#ifndef VELMDSD_VERSION
#define VELMDSD_VERSION "0.0.0"
#endif

static const char kUsage[] =
    "usage:\n"
    "  velmdsd decode IN... (-o OUT | -d OUTDIR) [--dop | --raw | --bits 16|24|32 | --float]\n"
    "                 [--rate HZ] [--quality high|designed] [--gain DB|auto] [--dither] [--start SECONDS]\n"
    "                 [--duration SECONDS] [--threads N] [--dsd-format FMT]\n"
    "  velmdsd info IN [--rate HZ] [--json]\n"
    "  velmdsd encode IN -o OUT.dff [--dst] | -o OUT.dsf\n"
    "  velmdsd make-test OUT.dsf|OUT.dff [--rate HZ] [--channels N] [--seconds S] [--freq HZ]\n"
    "                 [--level DBFS] [--shaping gentle|aggressive] [--artist TEXT] [--title TEXT]\n"
    "                 [--comment TEXT]\n"
    "  velmdsd demo [--dir DIR]\n"
    "  velmdsd --version | --help\n"
    "\n"
    "IN is a .dsf or .dff file, or - for standard input. OUT is a file, a device or - for standard\n"
    "output; a file is written under a temporary name and replaces OUT only when complete.\n"
    "With -d, every IN is written to OUTDIR (created when missing) under its own name, the\n"
    "extension changed to .wav (.dsd for --raw). Names that would collide keep the source\n"
    "extension (song.dsf.wav, song.dff.wav); those that still collide are numbered in the order\n"
    "given (song.dsf.wav, song.dsf-2.wav).\n"
    "\n"
    "Output forms:\n"
    "  (default)  PCM WAV, 16-bit: the add-on's own 16-bit samples, high quality.\n"
    "  --bits 24  PCM WAV, 24-bit, rounded from the add-on's float samples (--dither: TPDF dither,\n"
    "             also for 16 bits); --bits 32 (or --float) keeps the floats.\n"
    "  --dop      DSD over PCM, written as 24-bit WAV at 1/16 of the DSD rate, for DoP DACs.\n"
    "  --raw      the DSD bytes, interleaved by channel, oldest bit in bit 7 (MSB first), no header.\n"
    "             --dsd-format u8 (default) | u16le | u16be | u32le | u32be packs them as ALSA's\n"
    "             DSD_U8 .. DSD_U32_BE (aplay -f, native DSD DACs): words of 1, 2 or 4 bytes of one\n"
    "             channel, channel after channel, the earliest byte first in memory for the -be forms\n"
    "             and last for the -le forms; a last partial word is filled with 0x69 (DSD silence).\n"
    "\n"
    "PCM rate: the add-on decimates to the lowest of DSD rate / 8, / 16, / 32, ... that is not\n"
    "below the rate asked for (--rate, default 44100 Hz; below 44100 counts as 44100), so DSD64\n"
    "gives 44100, 88200, 176400 or 352800 Hz. A --rate that is not one of these (48000, 96000)\n"
    "is reached by resampling the next rate above it with libsoxr; the summary names the rate.\n"
    "PCM quality: --quality high (default) is the add-on's high-quality converter (longer filters,\n"
    "flat to 20 kHz, noise and distortion at the DSD bits' own level; output sample 0 at time 0);\n"
    "--quality designed is the add-on's own default, its 200-tap filter (faster, -5 dB at 20 kHz),\n"
    "at the same rates. DoP and raw DSD have no filter and refuse --quality high.\n"
    "PCM gain: +6 dB by default (DSD's 50 % modulation becomes full scale); --gain sets it,\n"
    "from -100 to 60 dB. Clipped samples are counted in the same pass; for 24-bit and dithered\n"
    "output a gain that avoids them is suggested (the add-on's 16-bit samples hide the peak).\n"
    "--gain auto decodes twice: a first pass finds the peak, the second uses the gain that puts\n"
    "it just below full scale (named files only).\n"
    "--start and --duration are exact to the output sample.\n"
    "--threads N (1 to 64) decodes the PCM of a named file in segments on N threads at once, each\n"
    "segment starting where a seek lands exactly: the output is byte for byte that of one thread.\n"
    "DoP, raw DSD, standard input and URLs decode on one thread.\n"
    "\n"
    "Standard input is read as it comes, with little memory: a DSF file's ID3 tag and DSDIFF\n"
    "tags after the sound data are not seen, and --start is reached by decoding forward.\n"
    "A source that ends before its header's length is decoded as far as it goes; the output is\n"
    "kept, the shortfall is reported and the exit status is 1. So is a URL whose transfer breaks\n"
    "off or brings nothing for the host's network time-out (10 s): the reason is named.\n"
    "A DST-compressed DSDIFF file decodes like plain DSD, on one thread; a frame the add-on cannot\n"
    "decode becomes 1/75 s of DSD silence, and the broken frames are counted at the end: the output is\n"
    "kept and the exit status is 1. info names the compression (plain or DST, its frame count and ratio).\n"
    "\n"
    "encode writes the sound of a DSF or DSDIFF file (plain or DST) again as DSDIFF (--dst: DST\n"
    "compressed) or as DSF, with its channels, rate and tags: the ID3v2 tag, and in DSDIFF the artist,\n"
    "title and comments (DSF has no place for comments; a DSDIFF artist and title become its ID3v2\n"
    "tag when there is none). The sound is held in memory. What was written is read back through the\n"
    "add-on and compared with the input's bits before it replaces OUT; DST completes its last 1/75 s\n"
    "frame with DSD silence. An OUT that is the input is refused.\n"
    "\n"
    "make-test writes a sine (default 1000 Hz, -6 dBFS, 5 s, 2 channels, 2822400 Hz) through a\n"
    "7th-order sigma-delta modulator; levels up to -3 dBFS are supported. --shaping aggressive:\n"
    "its zeros over 0..20 kHz at every rate and a larger noise gain: less noise in the band, more\n"
    "above it (stable up to -9 dBFS).\n"
    "Exit status: 0 success, 1 a failure (with several inputs: any), 2 a usage error.\n";

int main(int argc, char **argv)
{
    /* Failed writes to a closed pipe or past a file size limit are reported, not fatal. */
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    const char *cmd = argv[1];
    if (strcmp(cmd, "--version") == 0) {
        printf("velmdsd %s\n", VELMDSD_VERSION);
#ifdef VELMDSD_HAVE_SOXR
        printf("resampling: libsoxr %s\n", soxr_version());
#else
        printf("resampling: not built in\n");
#endif
        return 0;
    }
    if (strcmp(cmd, "demo") == 0)
        return cli::CmdDemo(argc - 2, argv + 2);
    if (strcmp(cmd, "info") == 0)
        return cli::CmdInfo(argc - 2, argv + 2);
    if (strcmp(cmd, "encode") == 0)
        return cli::CmdEncode(argc - 2, argv + 2);
    if (strcmp(cmd, "decode") == 0)
        return cli::CmdDecode(argc - 2, argv + 2);
    if (strcmp(cmd, "make-test") == 0)
        return cli::CmdMakeTest(argc - 2, argv + 2);
    if (strcmp(cmd, "measure") == 0) /* for bench/quality.sh; not listed above */
        return cli::CmdMeasure(argc - 2, argv + 2);
    fprintf(stderr, "velmdsd: unknown command '%s'\n%s", cmd, kUsage);
    return 2;
}
