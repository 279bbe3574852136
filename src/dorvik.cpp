// The command line: the entry of every run, the argument forms, the
// keywords, the automatic series and help mode.
#include "extern.hpp"
#include "measure.hpp"
#include "report.hpp"
#include "signals.hpp"
#include "start_instant.hpp"
#include "target.hpp"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>

volatile sig_atomic_t auto_mode;
volatile sig_atomic_t raw_mode;
volatile sig_atomic_t cdrom_mode;
unsigned char *record_buffer;
uint64_t raw_span;

namespace {

const char default_file_name[] = "#quarrow_NFS+SAN#.temp.bak";

// The program's version and its date, in the banner and in --version.
const char program_version[] = "2.0.13-san";
const char program_date[] = "28-Feb-2008";

const char usage_text[] =
    "\tUsage:\tdorvik [megabytes] [record_length_in_bytes] [[path]filename]\n"
    "\t\tdorvik auto[=filename]\n"
    "\tdorvik raw[=filename]\n"
    "\tdorvik cdrom[=filename]\n"
    "\t\tdorvik help\n\n";

// Printed by help mode up to the first empty line.
const char *const help_lines[] = {
    "    'Quarrow' - Universal IO/NFS/SAN Benchmark Program",
    "    Adapted by Ivo Quarrow <ivo.quarrow@example.org> for ASM/SAN/NFS needs :-) ",
    "    http://www.example.org/quarrow/  http://mirror.example.net/pub/quarrow/",
    "    $Id: dorvik.c,v 2.13 2008/02/28 17:42:05 iquarrow Exp $",
    "------------------------------------------------------------------",
    "    Modified/enhanced for NFS performance tuning....",
    "      + enhanced statistics",
    "      + auto-mode: blocksize for NFS monitoring (HFS/VxFS)",
    "      + uses fsync() to bypass disk cache",
    "      + designed to bypass the cache of Examplar StoreFrame 900 arrays",
    "      + fixed all errors DJGPP 2.7.2/DOS32, 2.9.5/cygwin claims",
    "      + fixed all errors DJGPP 2.7/Linux 2.0.32 claims",
    "      + fixed division by zero errors",
    "------------------------------------------------------------------",
    "    Modified for SAN (StoreFrame, VaultLine, DiskMesa) relative performance checking",
    "      + enhanced blocksize and buffersize",
    "      + works with gcc 3.2, 3.3",
    "      + fixed default filename (*NIX)",
    "------------------------------------------------------------------",
    "",
};

// A keyword that turns the run into a series, and the flags it raises.
struct series_keyword {
    const char *lower;
    const char *upper;
    bool raw;
    bool cdrom;
};

const series_keyword series_keywords[] = {
    {"auto", "AUTO", false, false},
    {"raw", "RAW", true, false},
    {"cdrom", "CDROM", true, true},
};

int dorvik_main(int argc, char **argv);

// A descriptor of 0, 1 or 2 left closed by the caller would be given to the
// test file, and the report would be printed into it. Read-only /dev/null
// holds the place: printing to it fails, so the lost output is noticed.
void hold_standard_descriptors()
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDONLY) < 0)
            exit(1);
}

// Figures that never reached standard output are a failed run, not a result.
void check_output()
{
    if (!ferror(stdout))
        return;
    fputs("dorvik: standard output could not be written, so the results are lost\n", stderr);
    exit(1);
}

// Reads a number by atoi's rules, but a value beyond the int range
// saturates instead of wrapping.
int read_number(const char *text)
{
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

void print_banner()
{
    printf("\nDORVIK: Test of Sequential File I/O -- %s (%s)\n", program_version, program_date);
    printf("\tOperating System: %s -- using fsync()\n\n", "POSIX 1003.1-1990");
}

// The size of a series' test after one of size megabytes. Device series
// start at 1 MB and double; 2 x size - 4 would go negative.
int next_size(int size)
{
    return raw_mode ? 2 * size : 2 * size - 4;
}

// Runs the grid of sizes and record lengths, one re-entry of the entry
// function per test, each printing one row.
void run_auto_series()
{
    printf("dorvik: auto-test mode ");
    if (cdrom_mode)
        printf("CD-ROM device %s\n\n", file_name);
    else if (raw_mode)
        printf("raw device %s\n\n", file_name);
    else
        puts("\n");
    printf("\t%-8s%-8s%-20s%-20s\n", "MB", "reclen", "bytes/sec written", "bytes/sec read");

    char program[] = "dorvik auto-test";
    char size_text[16];
    char record_length_text[16];
    char *arguments[] = {program, size_text, record_length_text, nullptr};
    int size = raw_mode ? 1 : 6;
    int largest = size;
    for (int s = 1; s < SERIES_SIZES; s++)
        largest = next_size(largest);
    raw_span = static_cast<uint64_t>(largest) * MEGABYTE;
    for (int s = 0; s < SERIES_SIZES; s++) {
        snprintf(size_text, sizeof size_text, "%d", size);
        int record_length = 4096;
        for (int r = 0; r < SERIES_RECORD_LENGTHS; r++) {
            snprintf(record_length_text, sizeof record_length_text, "%d", record_length);
            dorvik_main(3, arguments);
            record_length *= 2;
        }
        size = next_size(size);
    }
    print_average_statistics();
}

void print_help()
{
    printf("%s", usage_text);
    puts("dorvik: help mode");
    for (const char *line : help_lines) {
        if (*line == '\0')
            break;
        puts(line);
    }
    puts("Bye!");
}

// Answers --help, -h and --version, the words people try first, and ends the
// process before anything is created; returns for any other argument, which
// stays a keyword or a file name.
void answer_option(const char *argument)
{
    if (strcmp(argument, "--help") == 0 || strcmp(argument, "-h") == 0) {
        printf("%s %s (%s): a test of sequential file I/O\n\n%s", PROGRAM_NAME, program_version, program_date,
               usage_text);
        puts("The size counts in megabytes of 1,048,576 bytes (default 1); records are 16 to\n"
             "131073 bytes long (default 512); the test file, which the test creates and\n"
             "deletes, is #quarrow_NFS+SAN#.temp.bak in the working folder unless named.\n"
             "raw writes over a device from its first byte. dorvik help prints the\n"
             "program's notes; man dorvik tells the rest.");
    } else if (strcmp(argument, "--version") == 0) {
        printf("%s %s (%s)\n", PROGRAM_NAME, program_version, program_date);
    } else {
        return;
    }
    check_output();
    exit(0);
}

bool starts_with(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// Runs the series or help mode that argument names and ends the process;
// returns only when argument is no keyword.
void run_keyword(const char *argument)
{
    for (const series_keyword &keyword : series_keywords) {
        if (!starts_with(argument, keyword.lower) && !starts_with(argument, keyword.upper))
            continue;
        auto_mode = 1;
        if (keyword.raw)
            raw_mode = 1;
        if (keyword.cdrom)
            cdrom_mode = 1;
        const char *rest = argument + strlen(keyword.lower);
        if (*rest == '=')
            set_file_name(rest + 1);
        run_auto_series();
        puts("Completed series of tests");
        check_output();
        exit(0);
    }
    if (strcmp(argument, "help") == 0 || strcmp(argument, "HELP") == 0) {
        print_help();
        check_output();
        exit(0);
    }
}

void check_record_length(uint32_t record_length)
{
    if (record_length > MAX_RECLEN) {
        printf("Error: Maximum record length is %d bytes\n", static_cast<int>(MAX_RECLEN));
        fprintf(stderr, "dorvik: the record length is too long, or negative; records of %u to %u bytes are "
                "accepted\n", MIN_RECLEN, MAX_RECLEN);
        exit(1);
    }
    if (record_length < MIN_RECLEN) {
        printf("Error: Minimum record length is %d bytes\n", static_cast<int>(MIN_RECLEN));
        fprintf(stderr, "dorvik: the record length is too short; records of %u to %u bytes are accepted\n",
                MIN_RECLEN, MAX_RECLEN);
        exit(1);
    }
}

void check_size(int megabytes)
{
    if (megabytes < 0) {
        printf("Error: Minimum file size is 0 megabytes\n");
        fputs("dorvik: the size is negative; give the file size in megabytes, 0 or more\n", stderr);
        exit(1);
    }
}

// The entry of every run, entered again by the series for each test.
int dorvik_main(int argc, char **argv)
{
    if (!auto_mode) {
        // Unbuffered, so that nothing printed is lost when a signal ends the
        // process with output going to a file or a pipe.
        hold_standard_descriptors();
        setvbuf(stdout, nullptr, _IONBF, 0);
        if (argc == 2)
            answer_option(argv[1]);
        print_banner();
        install_handlers();
        read_start_instant();
    }
    int megabytes = 1;
    uint32_t record_length = 512;

    switch (argc) {
    case 1:
        set_file_name(default_file_name);
        puts(usage_text);
        break;
    case 2: {
        if (!auto_mode)
            set_file_name(default_file_name);
        int value = read_number(argv[1]);
        if (value < 0)
            value = value == INT_MIN ? INT_MAX : -value;
        if (value != 0) {
            megabytes = value;
        } else {
            run_keyword(argv[1]);
            set_file_name(argv[1]);
        }
        break;
    }
    case 3: {
        if (!auto_mode)
            set_file_name(default_file_name);
        megabytes = read_number(argv[1]);
        int value = read_number(argv[2]);
        if (value != 0)
            record_length = static_cast<uint32_t>(value);
        else
            set_file_name(argv[2]);
        break;
    }
    case 4:
        megabytes = read_number(argv[1]);
        record_length = static_cast<uint32_t>(read_number(argv[2]));
        set_file_name(argv[3]);
        break;
    default:
        puts("dorvik: bad usage");
        puts(usage_text);
        fputs(argc == 0 ? "dorvik: started without even a program name\n"
                        : "dorvik: too many arguments; at most three are accepted (megabytes, record length, "
                          "file name), or one keyword\n", stderr);
        exit(1);
    }

    check_record_length(record_length);
    if (argc > 2)
        check_size(megabytes);
    uint64_t record_count = static_cast<uint64_t>(megabytes) * MEGABYTE / record_length;
    record_buffer = static_cast<unsigned char *>(calloc(MAX_RECLEN, 1));
    if (record_buffer == nullptr) {
        puts("Cannot allocate the record buffer");
        exit(1);
    }
    run_sequential_test(megabytes, record_length, record_count);
    if (!auto_mode)
        check_output();
    return 0;
}

} // namespace

int main(int argc, char **argv) { return dorvik_main(argc, argv); }
