// What a test prints about itself: the description, the table row of a
// series, the run totals and their Average statistics, and the advice after
// a test too quick or a read phase of no time.
#include "report.hpp"

#include "extern.hpp"

#include <climits>
#include <cstdio>

run_totals_t run_totals;

namespace {

// A run under ten seconds is dominated by start-up costs and clock noise;
// suggest the size that would take about twenty at the pace just measured.
void advise_if_too_quick(int megabytes, double elapsed)
{
    if (!(10.0f > elapsed))
        return;
    puts("\nThe test completed too quickly to give a good result");
    puts("You will get a more precise measure of this machine's");
    puts("performance by re-running dorvik using the command:");
    double pace = static_cast<double>(megabytes) * 2 * 10.0 / elapsed;
    long long suggested = pace < 9.2e18 ? static_cast<long long>(pace) : LLONG_MAX;
    printf("\n\tdorvik %lld ", suggested);
    printf("\t(i.e., file size = %lld megabytes)\n", suggested);
}

long long rate(uint64_t bytes, double seconds)
{
    if (seconds == 0.0)
        return 0;
    return static_cast<long long>(static_cast<double>(bytes) / seconds);
}

} // namespace

void describe_test(int megabytes, uint32_t record_length, uint64_t record_count)
{
    printf("\tdorvik writes a %d Megabyte sequential file consisting of\n", megabytes);
    printf("\t%llu records which are each %u bytes in length.\n",
           static_cast<unsigned long long>(record_count), record_length);
    puts("\tIt then reads the file.  It prints the bytes-per-second");
    puts("\trate at which the computer can read and write files.\n");
    printf("\nWriting the %d Megabyte file, '%s'...", megabytes, file_name);
}

void report(int megabytes, uint32_t record_length, uint64_t bytes, double write_time, double read_time)
{
    run_totals.total_bytes += bytes;
    run_totals.total_read_seconds += read_time;
    run_totals.total_write_seconds += write_time;
    if (auto_mode) {
        printf("\t%-8d%-8u%-20lld%-20lld\n", megabytes, record_length, rate(bytes, write_time),
               rate(bytes, read_time));
        return;
    }
    print_average_statistics();
    advise_if_too_quick(megabytes, write_time + read_time);
}

void advise_after_zero_read_time(int megabytes, uint32_t record_length)
{
    puts("\nI/O error during read.  Try again with the command:");
    printf("\n\tdorvik %d %u ", megabytes, record_length / 2);
    printf("\t(i.e. record size = %u bytes)\n", record_length / 2);
}

void print_average_statistics()
{
    const run_totals_t &t = run_totals;
    double bytes = static_cast<double>(t.total_bytes);
    puts("\n Average statistics");
    printf("####\t Total KB= %8.0f (1024), read=%4.2f (sec), write=%4.2f (sec)\n",
           static_cast<double>(t.total_bytes >> 10), t.total_read_seconds, t.total_write_seconds);
    printf("####\t Average read=%8.2f MB/sec, write=%8.2f MB/sec\n",
           bytes / (t.total_read_seconds + 0.01) / 1024 / 1024,
           bytes / (t.total_write_seconds + 0.01) / 1024 / 1024);
    putchar('\n');
}
