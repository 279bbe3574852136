#include "driver.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

const std::string banner = "\nDORVIK: Test of Sequential File I/O -- 2.0.13-san (28-Feb-2008)\n"
                           "\tOperating System: POSIX 1003.1-1990 -- using fsync()\n\n";

const std::string usage = "\tUsage:\tdorvik [megabytes] [record_length_in_bytes] [[path]filename]\n"
                          "\t\tdorvik auto[=filename]\n"
                          "\tdorvik raw[=filename]\n"
                          "\tdorvik cdrom[=filename]\n"
                          "\t\tdorvik help\n\n";

const std::string average_statistics =
    "\n Average statistics\n"
    "####\t Total KB= {K} (1024), read={S} (sec), write={S} (sec)\n"
    "####\t Average read={A} MB/sec, write={A} MB/sec\n\n";

const std::string too_quick_advice = "{?}\n"
                                     "{?}The test completed too quickly to give a good result\n"
                                     "{?}You will get a more precise measure of this machine's\n"
                                     "{?}performance by re-running dorvik using the command:\n"
                                     "{?}\n"
                                     "{?}\tdorvik {N} \t(i.e., file size = {N} megabytes)\n";

std::string interactive_test(const std::string &megabytes, const std::string &records,
                             const std::string &record_length, const std::string &name)
{
    return "\tdorvik writes a " + megabytes + " Megabyte sequential file consisting of\n\t" + records +
           " records which are each " + record_length + " bytes in length.\n"
           "\tIt then reads the file.  It prints the bytes-per-second\n"
           "\trate at which the computer can read and write files.\n\n\n"
           "Writing the " + megabytes + " Megabyte file, '" + name + "'...{T} seconds\n"
           "Reading the file...{T} seconds\n";
}

std::string series_heading(const std::string &device)
{
    return "dorvik: auto-test mode " + (device.empty() ? "\n\n" : device + "\n\n") +
           "\tMB      reclen  bytes/sec written   bytes/sec read      \n";
}

std::string series_rows(const std::vector<int> &sizes, const std::vector<int> &record_lengths,
                        const std::string &written)
{
    std::string rows;
    char row[64];
    for (int size : sizes)
        for (int record_length : record_lengths) {
            snprintf(row, sizeof row, "\t%-8d%-8d%s{R}\n", size, record_length, written.c_str());
            rows += row;
        }
    return rows;
}

std::ostream &operator<<(std::ostream &out, const Case &c) { return out << c.name; }

namespace {

const double megabyte = 1048576.0;

// Turns an expected line into a regular expression: the text is literal,
// and each mask stands for a figure that differs from run to run.
std::string expand_masks(const std::string &line)
{
    static const std::vector<std::pair<std::string, std::string>> masks = {
        {"{T}", "[0-9]+\\.[0-9]{6}"},         // a time printed with %f
        {"{N}", "[0-9]+"},                     // a whole number
        {"{K}", " *[0-9]+"},                   // Total KB, %8.0f
        {"{S}", "[0-9]+\\.[0-9]{2}"},          // total seconds, %4.2f
        {"{A}", " *[0-9]+\\.[0-9]{2}"},        // an average, %8.2f
        {"{R}", "[0-9][0-9 ]{19}"},            // a rate in its 20-character column
        {"{*}", ".*"},                         // anything, such as a system's reason
    };
    std::string pattern;
    for (size_t i = 0; i < line.size();) {
        bool masked = false;
        for (const auto &mask : masks)
            if (line.compare(i, mask.first.size(), mask.first) == 0) {
                pattern += mask.second;
                i += mask.first.size();
                masked = true;
                break;
            }
        if (masked)
            continue;
        if (std::strchr("\\^$.|?*+()[]{}", line[i]) != nullptr)
            pattern += '\\';
        pattern += line[i++];
    }
    return pattern;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    for (;;) {
        auto end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            return lines;
        start = end + 1;
    }
}

bool lines_match(const std::vector<std::string> &want, const std::vector<std::string> &got, size_t *differs)
{
    for (size_t i = 0; i < std::max(want.size(), got.size()); i++)
        if (i >= want.size() || i >= got.size() || !std::regex_match(got[i], std::regex(expand_masks(want[i])))) {
            *differs = i;
            return false;
        }
    return true;
}

// The expected lines, with or without the optional ones (those that begin
// with "{?}", a block that the program prints or leaves out as a whole).
std::vector<std::string> expected_lines(const std::string &expected, bool with_optional)
{
    std::vector<std::string> lines;
    for (const std::string &line : split_lines(expected)) {
        if (line.rfind("{?}", 0) != 0)
            lines.push_back(line);
        else if (with_optional)
            lines.push_back(line.substr(3));
    }
    return lines;
}

void expect_text(const std::string &what, const std::string &expected, const std::string &actual)
{
    auto got = split_lines(actual);
    size_t differs = 0;
    if (lines_match(expected_lines(expected, false), got, &differs))
        return;
    auto want = expected_lines(expected, true);
    if (lines_match(want, got, &differs))
        return;
    ADD_FAILURE() << what << " differs at line " << differs + 1
                  << "\n  expected: " << (differs < want.size() ? want[differs] : "<no line>")
                  << "\n  actual:   " << (differs < got.size() ? got[differs] : "<no line>")
                  << "\n--- whole " << what << " ---\n" << actual;
}

// Checks that value lies within [low, high] widened by the printed precision.
void expect_within(const char *what, double value, double low, double high, double precision)
{
    EXPECT_GE(value, low - precision) << what;
    EXPECT_LE(value, high + precision) << what;
}

// The averages follow from the totals: bytes / (seconds + 0.01) / 1 MiB,
// with seconds known to within half a unit of its printed precision.
void expect_averages(double read, double write, const std::smatch &averages, double bytes,
                     double time_precision)
{
    expect_within("average read", std::stod(averages[1]), bytes / (read + time_precision + 0.01) / megabyte,
                  bytes / (read - time_precision + 0.01) / megabyte, 0.005);
    expect_within("average write", std::stod(averages[2]),
                  bytes / (write + time_precision + 0.01) / megabyte,
                  bytes / (write - time_precision + 0.01) / megabyte, 0.005);
}

const std::regex totals_line("Total KB= +([0-9]+) \\(1024\\), read=([0-9.]+) \\(sec\\), write=([0-9.]+)");
const std::regex averages_line("Average read= *([0-9.]+) MB/sec, write= *([0-9.]+) MB/sec");

// An interactive test prints its times; every later figure follows from them.
void check_interactive_figures(const std::string &out)
{
    std::smatch d, t, totals, averages;
    static const std::regex description("writes a ([0-9]+) Megabyte sequential file consisting of\n\t"
                                        "([0-9]+) records which are each ([0-9]+) bytes");
    static const std::regex times("\\.\\.\\.([0-9.]+) seconds\nReading the file\\.\\.\\.([0-9.]+) seconds");
    if (!std::regex_search(out, d, description) || !std::regex_search(out, t, times) ||
        !std::regex_search(out, totals, totals_line) || !std::regex_search(out, averages, averages_line))
        return;
    double megabytes = std::stod(d[1]), records = std::stod(d[2]), record_length = std::stod(d[3]);
    EXPECT_EQ(records, std::floor(megabytes * megabyte / record_length)) << "record count";
    double bytes = records * record_length;
    EXPECT_EQ(std::stod(totals[1]), std::floor(bytes / 1024)) << "Total KB";
    double write = std::stod(t[1]), read = std::stod(t[2]);
    expect_within("total read seconds", std::stod(totals[2]), read, read, 0.0051);
    expect_within("total write seconds", std::stod(totals[3]), write, write, 0.0051);
    expect_averages(read, write, averages, bytes, 5e-7);

    std::smatch advice;
    static const std::regex suggestion("\tdorvik ([0-9]+) \t\\(i\\.e\\., file size = ([0-9]+) megabytes\\)");
    double elapsed = write + read;
    bool advised = std::regex_search(out, advice, suggestion);
    EXPECT_EQ(advised, elapsed < 10.0) << "advice after " << elapsed << " seconds";
    if (advised) {
        EXPECT_EQ(advice[1], advice[2]);
        expect_within("suggested size", std::stod(advice[1]),
                      std::floor(megabytes * 20 / (elapsed + 1e-6)),
                      std::floor(megabytes * 20 / std::max(elapsed - 1e-6, 1e-9)), 1);
    }
}

// A series prints no times per test, but its rows fix the bytes moved.
void check_series_figures(const std::string &out)
{
    static const std::regex row("\n\t([0-9]+) +([0-9]+) +([0-9]+) +([0-9]+) *(?=\n)");
    std::smatch totals, averages;
    if (out.find("auto-test mode") == std::string::npos || !std::regex_search(out, totals, totals_line) ||
        !std::regex_search(out, averages, averages_line))
        return;
    double bytes = 0;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), row); it != std::sregex_iterator(); ++it) {
        double megabytes = std::stod((*it)[1]), record_length = std::stod((*it)[2]);
        bytes += std::floor(megabytes * megabyte / record_length) * record_length;
    }
    EXPECT_EQ(std::stod(totals[1]), std::floor(bytes / 1024)) << "Total KB of the series";
    expect_averages(std::stod(totals[2]), std::stod(totals[3]), averages, bytes, 0.005);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void list_tree(const std::string &root, const std::string &prefix, std::vector<std::string> &paths)
{
    DIR *dir = opendir((root + "/" + prefix).c_str());
    if (dir == nullptr)
        return;
    while (const dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat status;
        std::string path = prefix + name;
        // A mount whose server is gone cannot be looked at, but is still there.
        if (lstat((root + "/" + path).c_str(), &status) != 0) {
            paths.push_back(entry->d_type == DT_DIR ? path + "/" : path);
            continue;
        }
        if (S_ISDIR(status.st_mode)) {
            paths.push_back(path + "/");
            list_tree(root, path + "/", paths);
        } else if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) {
            paths.push_back(path + "%");
        } else if (S_ISFIFO(status.st_mode)) {
            paths.push_back(path + "|");
        } else if (S_ISLNK(status.st_mode)) {
            paths.push_back(path + "@");
        } else {
            paths.push_back(path);
        }
    }
    closedir(dir);
}

int shell_in(const std::string &folder, const std::string &script, const std::string &log = "/dev/null")
{
    std::string command = "cd '" + folder + "' && { " + script + "\n} >'" + log + "' 2>&1";
    return std::system(command.c_str());
}

double now_seconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

pid_t start(const Case &c, const std::string &folder, const std::string &base)
{
    std::string script = c.shell ? c.command : "exec \"$DORVIK\" " + c.command;
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    setpgid(0, 0);
    // A signal that dumps core must not leave a core file in the folder.
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    int in = open("/dev/null", O_RDONLY);
    int out = open((base + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open((base + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || chdir(folder.c_str()) != 0)
        _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (!c.fault.empty()) {
        setenv("LD_PRELOAD", FAULT_LIBRARY_PATH, 1);
        setenv("DORVIK_FAULT", c.fault.c_str(), 1);
        // A sanitizer build allows the fault library ahead of its runtime.
        const char *options = getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (std::string(options ? options : "") + ":verify_asan_link_order=0").c_str(), 1);
    }
    execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char *>(nullptr));
    _exit(127);
}

// Whether what a signal waits for is there: a path in the folder when
// the text begins with "file:", else a text in the output.
bool has_appeared(const std::string &what, const std::string &base)
{
    struct stat status;
    if (what.rfind("file:", 0) == 0)
        return stat((base + "/work/" + what.substr(5)).c_str(), &status) == 0 && status.st_size > 0;
    return read_file(base + "/out").find(what) != std::string::npos;
}

// Waits for the case's process, sending its signal and running its action
// once wait_for has appeared; returns the wait status, or -1 when the run did not end in time.
int wait_for_end(const Case &c, pid_t pid, const std::string &base)
{
    const double limit = 600;
    double started = now_seconds();
    bool triggered = c.wait_for.empty();
    for (;;) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return status;
        if (!triggered && has_appeared(c.wait_for, base)) {
            if (c.signal != 0)
                kill(pid, c.signal);
            if (!c.action.empty())
                shell_in(base + "/work", c.action);
            triggered = true;
        }
        if (now_seconds() - started > limit) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(2000);
    }
}

// Runs the case's teardown and removes its folders however the case ends.
struct CaseFolders {
    const Case &c;
    std::string base;
    ~CaseFolders()
    {
        if (!c.teardown.empty())
            shell_in(base + "/work", c.teardown);
        std::system(("rm -rf '" + base + "'").c_str());
    }
};

} // namespace

void run_case(const Case &c)
{
    // For the scripts of the case: its needs, setup, command, action and teardown.
    setenv("DORVIK", DORVIK_PATH, 1);
    setenv("DORVIK_LONG", DORVIK_LONG_PATH, 1);
    setenv("TESTS", TESTS_SOURCE_DIR, 1);
    setenv("SOURCE", PROJECT_SOURCE_DIR, 1);
    setenv("BUILD", PROJECT_BINARY_DIR, 1);
    setenv("FAULT_LIBRARY", FAULT_LIBRARY_PATH, 1);
    if (!c.needs.empty() && std::system(("{ " + c.needs + "\n} >/dev/null 2>&1").c_str()) != 0)
        GTEST_SKIP() << "this machine cannot: " << c.needs;
    char base_template[] = "/tmp/dorvik-case.XXXXXX";
    ASSERT_NE(mkdtemp(base_template), nullptr);
    std::string base = base_template;
    CaseFolders folders{c, base};
    std::string folder = base + "/work";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);

    if (c.setup.empty() || shell_in(folder, c.setup, base + "/setup.log") == 0) {
        int status = wait_for_end(c, start(c, folder, base), base);
        if (status == -1)
            ADD_FAILURE() << "the run did not end in time";
        else
            EXPECT_EQ(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status), c.status)
                << "exit status (128 + N: killed by signal N)";
        std::string out = read_file(base + "/out");
        expect_text("standard output", c.out, out);
        expect_text("standard error", c.err, read_file(base + "/err"));
        check_interactive_figures(out);
        check_series_figures(out);

        std::vector<std::string> files;
        list_tree(folder, "", files);
        std::sort(files.begin(), files.end());
        std::vector<std::string> expected = c.files;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(files, expected) << "files left in the folder";
    } else {
        ADD_FAILURE() << "setup failed: " << c.setup << "\n" << read_file(base + "/setup.log");
    }
}
