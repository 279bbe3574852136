// The cases of dorvik-report, dorvik-plot, the scripts, and the installed files and packages.
#include "cases.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <vector>

namespace {

const std::string plot = "\"$SOURCE\"/tools/dorvik-plot ";
const std::string has_gnuplot = "command -v gnuplot";
const std::string png_magic = " 211   P   N   G\n";
// For each tool, the options its page's SYNOPSIS names that its --help lacks (<)
// or the other way round (>); and how --help writes the host's placeholder.
const std::string options_agree =
    "for tool in report plot clients; do sed -n '/^\\.SH SYNOPSIS/,/^\\.SH DESCRIPTION/p' "
    "\"$SOURCE/man/dorvik-$tool.1\" | grep -o '\\\\-\\(\\\\-\\)\\?[a-z][a-z]*\\(\\\\-[a-z][a-z]*\\)*' | "
    "tr -d '\\\\' | sort -u > page && \"$SOURCE/tools/dorvik-$tool\" --help | "
    "grep -oE '^  -[a-z-]+(, --[a-z-]+)?' | tr -s ', ' '\\n' | grep -vx -e '' -e --help | sort -u > help && "
    "echo \"dorvik-$tool\" && diff page help; done; \"$SOURCE\"/tools/dorvik-clients --help | grep -o '%*h in'";

// A gnuplot on PATH that keeps the script it is given in script.gp.
const std::string gnuplot_stand_in = "mkdir bin && printf '#!/bin/sh\\ncat > script.gp\\n' > bin/gnuplot && chmod +x bin/gnuplot && "
                             "PATH=$PWD/bin:$PATH && ";
const std::vector<std::string> gnuplot_files = {"bin/", "bin/gnuplot", "script.gp"};
std::vector<std::string> installed(const std::string &prefix);
std::vector<std::string> with_gnuplot(std::vector<std::string> files)
{
    files.insert(files.end(), gnuplot_files.begin(), gnuplot_files.end());
    return files;
}

INSTANTIATE_TEST_SUITE_P(Tools, Arguments, testing::Values(
    Case{"series_to_png", plot + "-o chart.png \"$TESTS\"/data/series.txt && od -An -c -N4 chart.png",
         "dorvik-plot: wrote chart.png\n" + png_magic, "", 0, {"chart.png"}, "", "", 0, "", true, "", has_gnuplot},
    Case{"default_name_from_input", "cp \"$TESTS\"/data/series.txt run.txt && " + plot + "run.txt",
         "dorvik-plot: wrote run.png\n", "", 0, {"run.png", "run.txt"}, "", "", 0, "", true, "", has_gnuplot},
    Case{"standard_input_to_svg", plot + "-o chart.svg < \"$TESTS\"/data/series.txt && grep -c '<svg' chart.svg",
         "dorvik-plot: wrote chart.svg\n1\n", "", 0, {"chart.svg"}, "", "", 0, "", true, "", has_gnuplot},
    Case{"rows_replaced_by_advice", plot + "-o chart.png \"$TESTS\"/data/series-with-advice.txt",
         "dorvik-plot: wrote chart.png\n", "", 0, {"chart.png"}, "", "", 0, "", true, "", has_gnuplot},
    Case{"cdrom_series_reads_only", plot + "-o chart.png \"$TESTS\"/data/cdrom-series.txt",
         "dorvik-plot: wrote chart.png\n", "", 0, {"chart.png"}, "", "", 0, "", true, "", has_gnuplot},
    Case{"empty_input", "exec " + plot, "", "dorvik-plot: -: no dorvik output\n", 1, {}, "", "", 0,
         "", true, "", has_gnuplot},
    Case{"two_runs_compared", plot + "-o c.png -t before -t after \"$TESTS\"/data/series.txt \"$TESTS\"/data/"
         "raw-series.txt -s 8 && od -An -c -N4 c.png", "dorvik-plot: wrote c.png\n" + png_magic, "", 0, {"c.png"},
         "", "", 0, "", true, "", has_gnuplot},
    Case{"no_common_size", "exec " + plot + "\"$TESTS\"/data/hand-a1.txt \"$TESTS\"/data/raw-series.txt", "",
         "dorvik-plot: the inputs have no file size in common\n", 1, {}, "", "", 0, "", true, "", has_gnuplot},
    Case{"output_folder_missing", "exec " + plot + "-o nowhere/c.png \"$TESTS\"/data/long-series.txt", "",
         "dorvik-plot: cannot write nowhere/c.png: no folder nowhere\n", 1, {}, "", "", 0, "", true, "",
         has_gnuplot},
    Case{"fio_fails", "mkdir bin && printf '#!/bin/sh\\nexit 1\\n' > bin/fio && chmod +x bin/fio && "
         "PATH=$PWD/bin:$PATH exec \"$SOURCE\"/scripts/compare-with-fio . 1 1 4096", "{?}{*}\n{?}{*}\n",
         "compare-with-fio: fio write failed: \n", 1, {"bin/", "bin/fio"}, "", "", 0, "", true},
    Case{"fio_folder_missing", "exec \"$SOURCE\"/scripts/compare-with-fio nowhere", "",
         "compare-with-fio: no folder nowhere\n", 1, {}, "", "", 0, "", true},
    Case{"single_test_has_no_table", "exec " + plot + "\"$TESTS\"/data/single-test.txt", "",
         "dorvik-plot: no series table in {*}/single-test.txt\n", 1, {}, "", "", 0, "", true, "", has_gnuplot},
    Case{"compare_with_fio", "exec \"$SOURCE\"/scripts/compare-with-fio . 2 1 4096 16384",
         "| record length | dorvik write | fio write | dorvik read | fio read |\n|---|---|---|---|---|\n"
         "| 4096 | {N} | {N} | {N} | {N} |\n| 16384 | {N} | {N} | {N} | {N} |\n", "", 0, {}, "", "", 0, "", true, "",
         "command -v fio"},
    // The skew dorvik-clients prints is not smaller than how far apart the clients' clock readings that began
    // their timed spans lay, as the fault library saw them, in any run, however busy the machine.
    Case{"start_skew_not_understated", "exec \"$SOURCE\"/scripts/start-skew 3 3 4", "run 1: {*}\nrun 2: {*}\nrun 3: {*}\n"
         "3 clients, 3 runs: the printed skew fell short of how far apart the starts lay by more than 0.1 ms and the "
         "offsets' spread in 0; it holds in every run\n", "", 0, {}, "", "", 0, "", true},
    // The README's first command: its arguments go to dorvik unchanged; without
    // any, the series on a file of its own in the working folder, here
    // interrupted in its first test.
    Case{"run_script_passes_its_arguments", "exec \"$SOURCE\"/scripts/run 1 512 f 2>/dev/null",
         full_test("1", "2048", "512", "f"), "", 0, {}, "", "", 0, "", true},
    Case{"run_script_runs_the_series_here", "exec \"$SOURCE\"/scripts/run 2>/dev/null", banner + series_heading("") +
         "{?}\t6       4096    {R}\n\ndorvik: interrupted\n\ndeleting file: dorvik-test.{N}\nexiting dorvik\n\n",
         "", 0, {}, "", "", SIGINT, "bytes/sec read", true},
    Case{"versions", "for tool in report plot clients; do \"$SOURCE\"/tools/dorvik-$tool --version; done",
         "dorvik-report " PROJECT_VERSION "\ndorvik-plot " PROJECT_VERSION "\ndorvik-clients " PROJECT_VERSION "\n",
         "", 0, {}, "", "", 0, "", true},
    Case{"help_and_synopsis_name_every_option", options_agree, "dorvik-report\ndorvik-plot\ndorvik-clients\n%h in\n",
         "", 0, {"help", "page"}, "", "", 0, "", true},
    Case{"missing_input", "exec " + plot + "nothing.txt", "", "dorvik-plot: nothing.txt: No such file or directory\n", 1, {},
         "", "", 0, "", true, "", has_gnuplot},
    Case{"title_cannot_run_commands", plot + "-o c.png -t \"$(printf 'x\\nsystem \"touch MARK\"\\n#')\" \"$TESTS\"/data/"
         "series.txt", "dorvik-plot: wrote c.png\n", "", 0, {"c.png"}, "", "", 0, "", true, "", has_gnuplot},
    // The data handed to gnuplot: each input's write and read rates at the largest common size, 36 MB.
    Case{"chart_data_compared", gnuplot_stand_in + plot + "-o c.png -t run_1 -t \"it's\" \"$TESTS\"/data/series.txt \"$TESTS\"/data/"
         "long-series.txt && sed -n '/^set term/p;/^\\$data/,/^EOD/p;/title/p' script.gp", "dorvik-plot: wrote c.png\n"
         "set terminal pngcairo size 1200,500 noenhanced font 'sans,10'\n$data << EOD\n4096 288.492 1356.099\n"
         "8192 313.352 1455.687\n16384 516.705 786.877\n32768 392.536 685.984\n\n\n4096 1283.591 2275.380\n"
         "8192 2256.967 3773.736\n16384 3457.546 5603.001\n32768 4872.226 6531.251\n65536 6084.080 8736.664\n"
         "131072 7049.078 7093.217\nEOD\nset multiplot layout 1,2 title 'dorvik series compared at 36 MB'\n"
         "set title 'write'\nplot $data index 0 using 1:2 with linespoints lw 2 lt 1 title 'run_1', $data index 1 using "
         "1:2 with linespoints lw 2 lt 2 title 'it''s'\nset key outside right top title 'run'\nset title 'read'\nplot "
         "$data index 0 using 1:3 with linespoints lw 2 lt 1 title 'run_1', $data index 1 using 1:3 with linespoints lw "
         "2 lt 2 title 'it''s'\n", "", 0, gnuplot_files, "", "", 0, "", true},
    Case{"interrupted_chart_is_partial", gnuplot_stand_in + "cp \"$TESTS\"/data/interrupted.txt .run.txt && " + plot + "-o c.pdf "
         ".run.txt && " + plot + ".run.txt && grep -E '^set (term|multiplot)' script.gp", "dorvik-plot: wrote c.pdf\n"
         "dorvik-plot: wrote run.png\nset terminal pngcairo size 1200,500 noenhanced font 'sans,10'\nset multiplot "
         "layout 1,2 title 'dorvik series on a file (partial: dorvik: interrupted)'\n", "", 0,
         {"bin/", "bin/gnuplot", "script.gp", ".run.txt"}, "", "", 0, "", true},
    Case{"pdf_chart", plot + "-o c.pdf \"$TESTS\"/data/series.txt && od -An -c -N4 c.pdf", "dorvik-plot: wrote c.pdf\n"
         "   %   P   D   F\n", "", 0, {"c.pdf"}, "", "", 0, "", true, "", has_gnuplot},
    Case{"plot_refusals", "for options in '-o c.jpg' '-t a' '-t a -t b -t c' '--median -t a -t b'; do " + plot +
         "$options \"$TESTS\"/data/series.txt \"$TESTS\"/data/long-series.txt; echo $?; done", "1\n1\n1\n1\n",
         "dorvik-plot: c.jpg: the chart's name must end in .png, .svg or .pdf\ndorvik-plot: 1 titles (-t) for 2 inputs: "
         "give one per input, or none\ndorvik-plot: 3 titles (-t) for 2 inputs: give one per input, or none\n"
         "dorvik-plot: --median draws every file size of one grid: it takes no -t or -s\n", 0, {}, "", "", 0, "", true},
    // A chart's name is a file's name: a line break in it is refused before gnuplot runs.
    Case{"chart_name_with_control_characters", gnuplot_stand_in + plot + "-o \"$(printf 'a\\nb.png')\" \"$TESTS\"/data/"
         "series.txt", "", "dorvik-plot: 'a\\nb.png': a chart's name holds no control characters\n", 1,
         {"bin/", "bin/gnuplot"}, "", "", 0, "", true},
    Case{"cdrom_chart_title", gnuplot_stand_in + plot + "-o c.png \"$TESTS\"/data/cdrom-series.txt && grep '^set title' "
         "script.gp", "dorvik-plot: wrote c.png\nset title 'dorvik series CD-ROM device zero: read (no write phase)'\n", "",
         0, gnuplot_files, "", "", 0, "", true},
    // One grid in every format, the clients' time line's too, and a logarithmic rate axis on asking.
    Case{"one_grid_in_every_format", gnuplot_stand_in + "for c in c.png c.svg c.pdf; do " + plot + "-o $c \"$TESTS\"/data/"
         "series.txt >/dev/null && grep '^set grid' script.gp; done; " + plot + "--log -o c.svg \"$TESTS\"/data/clients-series "
         ">/dev/null && grep -E '^set (grid|logscale|yrange|ylabel)' script.gp; " + plot + "--log -o c.svg \"$TESTS\"/data/"
         "series.txt >/dev/null && grep -E '^set (logscale y|yrange|ylabel)' script.gp",
         "set grid back lt 1 lc rgb '#dddddd' lw 1 dt 1\nset grid back lt 1 lc rgb '#dddddd' lw 1 dt 1\n"
         "set grid back lt 1 lc rgb '#dddddd' lw 1 dt 1\nset ylabel 'MB/s (1 MB = 1,048,576 "
         "bytes), logarithmic'\nset grid back lt 1 lc rgb '#dddddd' lw 1 dt 1\nset logscale y 10\n"
         "set yrange [*:815.935]\nset yrange [*:816.003]\n"
         "set ylabel 'MB/s (1 MB = 1,048,576 bytes), logarithmic'\nset logscale y 10\n", "", 0, gnuplot_files, "", "", 0,
         "", true},
    // Sixteen runs compared: sixteen lines, no two alike in colour and dash.
    Case{"sixteen_lines_stay_apart", gnuplot_stand_in + plot + "-o c.png $(for i in $(seq 16); do echo \"$TESTS\"/data/"
         "series.txt; done) && grep -c '^set linetype' script.gp && grep '^set linetype' script.gp | cut -d' ' -f4-8 | "
         "sort -u | wc -l && sed -n '/^set linetype 11 /p' script.gp", "dorvik-plot: wrote c.png\n16\n16\n"
         "set linetype 11 lc rgb '#cc79a7' dt 1 pt 8 ps 1.2\n", "", 0, gnuplot_files, "", "", 0, "", true},
    // The medians of three runs, as dorvik-report --median gives them, with bars from the least to the
    // most; the interrupted run left out, and said so; a comparison with a partial run says so too.
    Case{"medians_chart", gnuplot_stand_in + "cp \"$TESTS\"/data/hand-a?.txt \"$TESTS\"/data/interrupted.txt . && " + plot +
         "--median -o c.png hand-a1.txt hand-a2.txt interrupted.txt hand-a3.txt && rm hand-a?.txt && sed -n "
         "'/^\\$data/,/^EOD/p;/^set multiplot/p;/^plot/p' script.gp && " + plot + "-o c.png interrupted.txt \"$TESTS\"/"
         "data/series.txt && rm interrupted.txt && grep '^set multiplot' script.gp", "dorvik-plot: wrote c.png\n$data << EOD\n"
         "4096 95.367 85.831 104.904 190.735 181.198 200.272\n8192 286.102 257.492 314.713 381.470 362.396 400.543\nEOD\n"
         "set multiplot layout 1,2 title 'dorvik series on a file: medians of 3 runs, bars from the least to the most "
         "(partial: 1 run left out, failed or incomplete: interrupted.txt (run 1): dorvik: interrupted)'\n"
         "plot $data index 0 using 1:2:3:4 with yerrorlines lw 2 lt 1 title '6 MB'\n"
         "plot $data index 0 using 1:5:6:7 with yerrorlines lw 2 lt 1 title '6 MB'\ndorvik-plot: wrote c.png\n"
         "set multiplot layout 1,2 title 'dorvik series compared at 6 MB (partial: 1 of 2 runs did not reach their end)'\n",
         "", 0, gnuplot_files, "", "", 0, "", true},
    // Removing the package removes all it installed: the tools, run as root, write no byte-code beside it.
    // PYTHONDONTWRITEBYTECODE, where it is set, would hide byte-code that the tools write on a user's machine.
    Case{"installed_tools_write_no_byte_code", gnuplot_stand_in + "unset PYTHONDONTWRITEBYTECODE && DESTDIR=\"$PWD/root\" cmake --install \"$BUILD\" --prefix "
         "/opt/dorvik >/dev/null && root/opt/dorvik/bin/dorvik-report --median \"$TESTS\"/data/hand-a1.txt >/dev/null && "
         "root/opt/dorvik/bin/dorvik-plot -o c.png \"$TESTS\"/data/series.txt && root/opt/dorvik/bin/dorvik-clients -h "
         ">/dev/null", "dorvik-plot: wrote c.png\n", "", 0, with_gnuplot(installed("root/opt/dorvik/")), "", "", 0, "",
         true}), case_name);

// dorvik-report run in the folder of the recorded outputs, its output, its words on standard error
// after it and its status held against a file in expected/ that was checked by hand.
Case report(const std::string &name, const std::string &arguments, const std::string &expected)
{
    return Case{name, "cd \"$TESTS\"/data && { \"$SOURCE\"/tools/dorvik-report " + arguments +
                " 2>&1; echo \"status $?\"; } | diff - expected/" + expected + " && echo same", "same\n", "", 0, {}, "", "",
                0, "", true};
}

// A report that fails: its message and status (2: bad usage or input; 3: runs that cannot be compared).
Case report_error(const std::string &name, const std::string &arguments, const std::string &message, int status = 2)
{
    return Case{name, "cd \"$TESTS\"/data && exec \"$SOURCE\"/tools/dorvik-report " + arguments, "",
                "dorvik-report: " + message + "\n", status, {}, "", "", 0, "", true};
}

const std::string baseline = "--baseline hand-a1.txt --baseline hand-a2.txt --baseline hand-a3.txt ";

INSTANTIATE_TEST_SUITE_P(Report, Arguments, testing::Values(
    report("series_with_advice", "series-with-advice.txt", "series-with-advice.csv"),
    report("cdrom_series", "cdrom-series.txt", "cdrom-series.csv"),
    report("raw_series", "raw-series.txt", "raw-series.csv"),
    report("long_series", "long-series.txt", "long-series.csv"),
    report("single_test", "single-test.txt", "single-test.csv"),
    report("failed_single_test", "failed-single.txt", "failed-single.csv"),
    report("interrupted_single_test", "- < interrupted-single.txt", "interrupted-single.csv"),
    report("interrupted_series", "interrupted.txt", "interrupted.csv"),
    report("closed_pipe", "closed-pipe.txt", "closed-pipe.csv"),
    report("failed_series", "failed-series.txt", "failed-series.csv"),
    report("single_test_json", "--format json single-test.txt", "single-test.json"),
    report("failed_series_json", "--format json failed-series.txt", "failed-series.json"),
    report("markdown", "--format markdown interrupted.txt", "interrupted.md"),
    report("median", "--median hand-a1.txt hand-a2.txt hand-a3.txt", "median.csv"),
    report("baseline_at_threshold", baseline + "hand-b1.txt", "baseline.csv"),
    report("baseline_past_threshold", baseline + "--threshold 9.99 --format markdown hand-b1.txt", "worse.md"),
    report("one_byte_too_slow", "--baseline hand-a1.txt hand-b2.txt", "one-byte-too-slow.csv"),
    report_error("garbage", "garbage.txt", "garbage.txt:1: not dorvik output: 'hello'"),
    report_error("empty", "empty.txt", "empty.txt: no dorvik output"),
    report_error("missing_file", "nothing.txt", "nothing.txt: No such file or directory"),
    report_error("grids_differ", "--median series.txt hand-a1.txt", "the runs differ in their grids: hand-a1.txt (run 1) "
                 "lacks file 6 MB x 16384, file 6 MB x 32768, file 8 MB x 4096, file 8 MB x 8192, file 8 MB x 16384, "
                 "file 8 MB x 32768 and 12 more"),
    report_error("baseline_grid_differs", "--baseline hand-a1.txt cdrom-series.txt", "cannot compare: the sides "
                 "differ in their points: only old: file 6 MB x 4096, file 6 MB x 8192; only new: cdrom 1 MB x 4096, "
                 "cdrom 1 MB x 8192, cdrom 1 MB x 16384, cdrom 1 MB x 32768, cdrom 2 MB x 4096, cdrom 2 MB x 8192 and "
                 "14 more", 3),
    report("median_not_mean", "--median hand-a1.txt hand-a2.txt hand-m1.txt", "median-not-mean.csv"),
    report("exactly_ten_percent_is_the_same", "--baseline hand-a1.txt hand-b3.txt", "exactly-ten-percent.csv"),
    report("overlapping_runs_are_noise", "compare hand-a?.txt -- hand-c?.txt", "noise.csv"),
    // Every new run below every old one at a point, 1 chance in 20 with three runs a side: over the
    // four points and phases of the grid, that can be chance.
    report("one_point_apart_is_not_worse_over_the_grid", "compare hand-c?.txt -- hand-a?.txt", "one-point-apart.csv"),
    // Two runs a side measure the noise: the verdicts weigh it, the grid's ratio has its interval.
    report("two_runs_a_side_measured", "compare hand-a1.txt hand-a2.txt -- hand-c1.txt hand-c2.txt",
           "two-runs-a-side.csv"),
    report("clock_reasons_in_the_lines", "clock-fails.txt", "clock-fails.csv"),
    Case{"glob_after_baseline", "cd \"$TESTS\"/data && exec \"$SOURCE\"/tools/dorvik-report --baseline hand-a?.txt "
         "hand-b1.txt", "", "usage: {*}\n{*}\ndorvik-report: error: one --baseline with 3 new files (hand-a2.txt ...): "
         "for several old runs use: dorvik-report compare OLD... -- NEW...\n", 2, {}, "", "", 0, "", true},
    report_error("new_run_interrupted", "compare hand-a?.txt -- hand-b1.txt interrupted.txt", "cannot compare: a run "
                 "failed or is incomplete: interrupted.txt (run 1): dorvik: interrupted", 3),
    report_error("old_run_failed", "compare failed-series.txt -- series.txt", "cannot compare: a run failed or is "
                 "incomplete: failed-series.txt (run 1): Error writing block 4096", 3),
    report_error("missing_point", "compare hand-a1.txt -- - < long-series.txt", "cannot compare: the sides differ in "
                 "their points: only old: none; only new: file 6 MB x 16384, file 6 MB x 32768, file 6 MB x 65536, "
                 "file 6 MB x 131072, file 8 MB x 4096, file 8 MB x 8192 and 46 more", 3)), case_name);

// A script run in the folder of the recorded outputs, with R for dorvik-report and P for dorvik-plot.
Case in_data(const std::string &name, const std::string &script, const std::string &out, const std::string &err = "",
             int status = 0)
{
    return Case{name, "T=$PWD && cd \"$TESTS\"/data && R=\"$SOURCE\"/tools/dorvik-report && P=\"$SOURCE\"/tools/dorvik-plot && " +
                script, out, err, status, {}, "", "", 0, "", true};
}

const std::string a1_rows = "-,file,6,4096,100000000,200000000,95.367,190.735,ok,\n-,file,6,8192,300000000,"
                            "400000000,286.102,381.470,ok,\n";
// dorvik-clients folders damaged in turn: the status and the first word of each message.
const std::string damaged_folders = "mkdir -p \"$T\"/out && for doc in '' '[]' '{}' '{\"hosts\": 3}' "
    "'{\"hosts\": [{\"host\": \"../x\"}]}' '{\"hosts\": [{\"host\": \"a\"}]}' "
    "'{\"hosts\": [{\"host\": \"a\", \"reason\": null, \"start\": 1}]}'; do printf %s \"$doc\" > \"$T\"/out/clients.json; "
    "for tool in \"$R --median\" \"$R\" $P; do m=$($tool \"$T\"/out 2>&1 >/dev/null); echo \"$? ${m%%:*}\"; done; done; "
    "rm -r \"$T\"/out";

INSTANTIATE_TEST_SUITE_P(ReportInput, Arguments, testing::Values(
    // The row of 6 MB x 32768 is cut inside its write rate.
    in_data("cut_last_line_is_incomplete", "head -c 400 series.txt | $R | cut -d, -f3-", "size_mb,record_length,"
            "write_bytes_per_s,read_bytes_per_s,write_mb_per_s,read_mb_per_s,status,reason\n6,4096,117525630,424751058,"
            "112.081,405.074,ok,\n6,8192,552332595,252589273,526.745,240.888,ok,\n6,16384,583306786,252224605,556.285,"
            "240.540,ok,\n,,,,,,incomplete,line 11 is cut short: the output ends inside it\n"),
    in_data("crlf_same_on_standard_input", "sed 's/$/\\r/' series.txt > \"$T\"/crlf && $R < \"$T\"/crlf > \"$T\"/a && "
            "$R \"$T\"/crlf | sed \"s|$T/crlf|-|\" | diff - \"$T\"/a && $R series.txt | sed 's/^series.txt/-/' | "
            "diff - \"$T\"/a && echo same; rm \"$T\"/crlf \"$T\"/a", "same\n"),
    in_data("notes_kept_aside", "{ echo '# kernel 6.1, ext4 data=ordered'; cat hand-a1.txt; echo '#'; } | "
            "$R --format json | grep -A2 notes && { echo '# note'; cat hand-a1.txt; } | $R | tail -n +2",
            "      \"notes\": [\"# kernel 6.1, ext4 data=ordered\", \"#\"]\n    }\n  ]\n" + a1_rows),
    in_data("bytes_not_utf8_any_locale", "export PYTHONUTF8=0 PYTHONCOERCECLOCALE=0 LC_ALL=C; f=\"$T/$(printf '\\376')."
            "txt\" && sed \"s/auto-test mode $/auto-test mode raw device $(printf '\\377')/\" hand-a1.txt > \"$f\" && $R \"$f\" | "
            "tail -1 | sed \"s|$T/||\" && $R --format json < \"$f\" | grep device; rm \"$f\"; $R \"$T/$(printf '\\376\\nx')\"",
            "\xfe.txt,raw,6,8192,300000000,400000000,286.102,381.470,ok,\n      \"device\": \"\\udcff\",\n",
            "dorvik-report: {*}/\xfe\\nx: No such file or directory\n", 2),
    // What an input or a host says is shown, never obeyed by a terminal: ESC (C0) and CSI (U+009B, C1) escaped in
    // CSV, Markdown, a failure's reason, the clients' report and a message on standard error.
    in_data("control_characters_never_reach_the_terminal", "n=\"$(printf 'a\\033[2Jb\\302\\233c')\" && cp hand-a1.txt "
            "\"$T/$n\" && (cd \"$T\" && $R \"$n\" | sed -n 2p | cut -d, -f1-2; $R --format markdown \"$n\" | sed -n 3p | cut "
            "-d' ' -f1-2; $R \"$n.x\"; rm \"$n\"); printf '\\nDORVIK: Test of Sequential File I/O -- 2.0.13-san (28-Feb-2008)"
            "\\n\\n\\tdorvik writes a 1 Megabyte sequential file consisting of\\n\\t2048 records which are each 512 bytes in "
            "length.\\nCannot create temporary file: x\\033]0;t\\007\\302\\233y\\n' | $R | tail -1 | cut -d, -f9-; cp -r "
            "clients-series \"$T\"/f && python3 -c 'import json, sys\nd = json.load(open(sys.argv[1]))\n"
            "d[\"hosts\"][1][\"reason\"] = \"ssh: \\x1b[31mred\\x9b2J\"\njson.dump(d, open(sys.argv[1], \"w\"))' \"$T\"/f/"
            "clients.json && \"$SOURCE\"/tools/dorvik-clients --report \"$T\"/f | grep -a red | sed 's/.*  ssh:/ssh:/'; rm -r \"$T\"/f",
            "a\\x1b[2Jb\\x9bc,file\n| a\\x1b[2Jb\\x9bc\nincomplete,,,Cannot create temporary file: x\\x1b]0;t\\x07\\x9by\n"
            "ssh: \\x1b[31mred\\x9b2J\n", "dorvik-report: a\\x1b[2Jb\\x9bc.x: No such file or directory\n"),
    in_data("csv_cells_are_never_formulas", "for name in =1+2 +x -x @x \"$(printf '\\tx')\" \"$(printf '\\rx')\"; do "
            "cp hand-a1.txt \"$T/$name\"; (cd \"$T\" && $R -- \"$name\" && rm -- \"$name\") | sed -n 2p | cut -d, -f1-3; done",
            "'=1+2,file,6\n'+x,file,6\n'-x,file,6\n'@x,file,6\n'\tx,file,6\n\"'\rx\",file,6\n"),
    in_data("markdown_rows_hold", "f=\"$(printf 'a|b\\nc\\\\')\" && cp hand-a1.txt \"$T/$f\" && (cd \"$T\" && $R --format "
            "markdown \"$f\" | sed -n 3p | cut -d' ' -f1-4; rm \"$f\")", "| a\\|b\\nc\\\\ | file\n"),
    in_data("bad_thresholds_refused", "for t in -1 -0.5 inf nan 1/0 x 1e999 100; do $R --threshold $t hand-a1.txt "
            "2>&1 | tail -1; done", "dorvik-report: error: argument --threshold: a threshold is not negative: '-1'\n"
            "dorvik-report: error: argument --threshold: a threshold is not negative: '-0.5'\n"
            "dorvik-report: error: argument --threshold: not a number of percent: 'inf'\n"
            "dorvik-report: error: argument --threshold: not a number of percent: 'nan'\n"
            "dorvik-report: error: argument --threshold: not a number of percent: '1/0'\n"
            "dorvik-report: error: argument --threshold: not a number of percent: 'x'\n"
            "dorvik-report: error: argument --threshold: a threshold is under 100 percent: '1e999'\n"
            "dorvik-report: error: argument --threshold: a threshold is under 100 percent: '100'\n"),
    in_data("output_cannot_be_written", "$R hand-a1.txt > /dev/full; echo $?; $R hand-a1.txt >&-; echo $?", "2\n2\n",
            "dorvik-report: cannot write the report: No space left on device\n"
            "dorvik-report: cannot write the report: standard output is closed\n"),
    // Four hosts on one throttled device: all bytes over each phase's span (the report's
    // "all bytes / span" row), not each host as a repeated run.
    // A host whose phases cannot be timed: no window in which every client is known to be active.
    in_data("clients_window_needs_every_host", "cp -r clients-throttled \"$T\"/f && python3 -c 'import json, sys; "
            "d = json.load(open(sys.argv[1])); d[\"hosts\"][1][\"tests\"][0][\"chunks\"] = []; "
            "json.dump(d, open(sys.argv[1], \"w\"))' \"$T\"/f/clients.json && $R \"$T\"/f | grep -a '^while all' | "
            "cut -d, -f1,8,9 && rm -r \"$T\"/f", "while all were active,,\n"),
    in_data("clients_folder_reduced_on_aggregates", "$R --median clients-throttled | cut -d, -f1-5,9 && $R compare "
            "clients-throttled -- clients-throttled 2>/dev/null | cut -d, -f1-10 | sed -n 2p", "mode,size_mb,record_length,runs,"
            "write_median_mb_per_s,read_median_mb_per_s\nclients,64,65536,1,49.368,50.024\nclients,64,65536,1,1,"
            "49.368,49.368,1.000,\"same, noise not measured\"\n"),
    // An index nested past any parser's depth, and a first start past any clock: one message and the status of
    // a damaged folder on every path that reads a folder.
    in_data("clients_folder_too_deep_or_too_late", "C=\"$SOURCE\"/tools/dorvik-clients && mkdir \"$T\"/deep && python3 -c "
            "'print(\"[\" * 100000 + \"]\" * 100000)' > \"$T\"/deep/clients.json && for tool in \"$R\" \"$R --median\" "
            "\"$R --timeline\" \"$R --format html\" $P \"$C --report\"; do $tool \"$T\"/deep 2>\"$T\"/e >/dev/null; s=$?; "
            "sed \"s|$T/||\" \"$T\"/e; echo $s; done; cp -r clients-series \"$T\"/late && sed -i 's/^ \"at\": [0-9.]*,/ \"at\": "
            "1e20,/' \"$T\"/late/clients.json && for tool in \"$C --report\" \"$R --format html\"; do $tool \"$T\"/late "
            "2>&1 >/dev/null | sed \"s|$T/||\"; done; rm -r \"$T\"/deep \"$T\"/late \"$T\"/e", [] {
        std::string lines;
        for (const std::string tool : {"report", "report", "report", "report", "plot", "clients"})
            lines += "dorvik-" + tool + ": deep: not a folder of dorvik-clients: clients.json nests too deep\n" +
                     (tool == "plot" ? "1\n" : "2\n");
        return lines + "dorvik-clients: late: a damaged folder of dorvik-clients: the time 1e+20 lies beyond any "
                       "clock\ndorvik-report: late: a damaged folder of dorvik-clients: the time 1e+20 lies beyond "
                       "any clock\n";
    }()),
    // A CD-ROM series through clients: its first point has no write phase, the others were not started together.
    in_data("clients_compare_says_why_points_lack_a_rate", "$R compare clients-cdrom -- clients-cdrom", "",
            "dorvik-report: cannot compare: no rate on one side (a phase without a figure) at clients 1 MB x 4096; "
            "no rate on one side (no aggregate: not started together) at clients 1 MB x 8192, clients 1 MB x 16384, "
            "clients 1 MB x 32768, clients 2 MB x 4096, clients 2 MB x 8192, clients 2 MB x 16384 and 13 more\n", 3),
    // Arrival times of the outputs that no clock gives: a damaged folder, never a figure of 0.
    in_data("clients_folder_arriving_at_infinity", "cp -r clients-throttled \"$T\"/f && python3 -c 'import json, sys\n"
            "d = json.load(open(sys.argv[1]))\nfor h in d[\"hosts\"]:\n  for t in h[\"tests\"]:\n"
            "    t[\"chunks\"] = [[c[0], float(\"inf\")] for c in t[\"chunks\"]]\njson.dump(d, open(sys.argv[1], \"w\"))' "
            "\"$T\"/f/clients.json && for tool in \"$R\" \"$R --median\" \"$SOURCE/tools/dorvik-clients --report\"; do "
            "$tool \"$T\"/f > /dev/null 2> \"$T\"/e; echo $?; sed \"s|$T/||\" \"$T\"/e; done; rm -r \"$T\"/f \"$T\"/e", [] {
        std::string lines;
        for (const std::string tool : {"report", "report", "clients"})
            lines += "2\ndorvik-" + tool + ": f: a damaged folder of dorvik-clients: the write phase of "
                     "'127.0.0.2' in test 1 spans inf to inf, beyond any clock\n";
        return lines;
    }()),
    // Two machines whose devices have one number (8:16): two devices, their bytes added, so that the storage
    // moved what the programs passed to the system at every point.
    in_data("clients_same_device_number_on_two_machines", "python3 \"$TESTS\"/clients_folder.py \"$T\"/f 2 && "
            "\"$SOURCE\"/tools/dorvik-clients --report \"$T\"/f | awk '/ while all were active .* storage: 2 block "
            "devices$/ { w[$1 \" \" $2] = $7 \" \" $8 } / passed to the system / && w[$1 \" \" $2] == $7 \" \" $8 { n++ } "
            "END { print n \" points\" }'; rm -r \"$T\"/f", "20 points\n"),
    in_data("damaged_clients_folders", damaged_folders, [] {
        std::string lines;
        for (int doc = 0; doc < 7; ++doc)
            lines += "2 dorvik-report\n2 dorvik-report\n1 dorvik-plot\n";
        return lines;
    }())), case_name);

// Synthetic runs of known truth: 20 points, the given runs a side, 10% noise, from scripts/false-alarms.
const std::string synthetic = "\"$SOURCE\"/scripts/false-alarms --write \"$T\" ";
const std::string compare_synthetic = "$R compare \"$T\"/old-* -- \"$T\"/new-*";
// A run of two points whose write rate at 6 MB x 4096 is $1, into the file $2.
const std::string two_point_run = "run() { printf '\\nDORVIK: Test of Sequential File I/O -- 2.0.13-san (28-Feb-2008)\\n"
    "dorvik: auto-test mode \\n\\t6       4096    %-20s200000000           \\n\\t6       8192    300000000           "
    "400000000           \\nCompleted series of tests\\n' $1 > \"$T/$2\"; }; ";
// The same runs reported from the JSON of each form, checked against the installed schema.
const std::string validate = "/usr/bin/python3 -c 'import json, sys, jsonschema\nschema = json.load(open(sys.argv[1]))\n"
    "for name in sys.argv[2:]:\n    jsonschema.validate(json.load(open(name)), schema)\n    print(name, \"valid\")' ";

INSTANTIATE_TEST_SUITE_P(Verdicts, Arguments, testing::Values(
    // One point of twenty dropped 40% with three runs a side: its noise, pooled over the grid, is
    // measured well enough to find it among forty points and phases.
    in_data("one_point_dropped_among_twenty_is_found", synthetic + "--drop 40 --drop-at 0 && " + compare_synthetic +
            " > \"$T\"/c 2>/dev/null; echo $?; sed -n 2p \"$T\"/c | cut -d, -f1-3,9,13; rm \"$T\"/*",
            "1\nfile,6,4096,worse,worse\n"),
    // 25% less at every point, three runs a side: worse over the grid, in both phases, and at most points.
    in_data("drop_at_every_point_is_worse", synthetic + "--drop 25 && " + compare_synthetic + " | cut -d, -f9 | "
            "grep -c '^worse$'; rm \"$T\"/*", "17\n", "dorvik-report: write over the grid: worse, ratio 0.738 (0.680 to "
            "0.801 at 98.75%), 3 old and 3 new runs\ndorvik-report: read over the grid: worse, ratio 0.739 (0.660 to 0.827 "
            "at 98.75%), 3 old and 3 new runs\ndorvik-report: to find a drop of 20% 4 times in 5, runs a side: write {N} "
            "at a single point, {N} over the grid; read {N} at a single point, {N} over the grid\n"),
    // Six runs a side: the dropped point is worse; the summary row is among the same.
    in_data("one_point_dropped_with_six_runs_is_worse", synthetic + "--drop 40 --drop-at 0 --runs 6 && " +
            compare_synthetic + " > \"$T\"/c 2>/dev/null; echo $?; cut -d, -f9,13 \"$T\"/c | sort | uniq -c; rm \"$T\"/*",
            "1\n      1 noise,same\n      2 same,noise\n     17 same,same\n      1 worse,worse\n      1 write_mark,read_mark\n"),
    // Runs given in the order they ran, the machine 3% slower each run: a warning, and the status as it is.
    in_data("drift_is_warned", synthetic + "--runs 5 --drift 3 && " + compare_synthetic + " >/dev/null 2>\"$T\"/e; "
            "echo $?; grep -c warning \"$T\"/e; " + compare_synthetic + " 2>&1 >/dev/null | grep -o 'read rates fall "
            "within each side: the machine may have drifted'; rm \"$T\"/*", "1\n2\nread rates fall within each side: the "
            "machine may have drifted\n"),
    in_data("rate_on_one_side_only", "sed 's/^\\t6       8192 .*/I\\/O error during read.  Try again with the command:\\n\\n"
            "\\tdorvik 6 4096 \\t(i.e. record size = 4096 bytes)/' hand-a1.txt > \"$T\"/advice && $R compare \"$T\"/advice -- "
            "hand-a1.txt; echo $?; rm \"$T\"/advice", "3\n", "dorvik-report: cannot compare: no rate on one side (every run "
            "gave advice) at file 6 MB x 8192\n"),
    // A CD-ROM series writes nothing: its write phase has no ratio and no verdict.
    in_data("zero_old_median", "$R compare cdrom-series.txt -- cdrom-series.txt | sed -n '2p;$p'; echo $?",
            "cdrom,1,4096,1,1,0.000,0.000,,,12932.428,12932.428,1.000,\"same, noise not measured\",,,,\n"
            "all points,,,1,1,,,,,,,1.000,\"same, noise not measured\",,,,\n0\n", "dorvik-report: write over the grid: no "
            "verdict, no ratio, 1 old and 1 new runs\ndorvik-report: read over the grid: same, noise not measured, ratio "
            "1.000, 1 old and 1 new runs\n"),
    // 0 is a threshold: any drop at all, here of one byte per second in 100 MB/s, is worse.
    in_data("threshold_zero", "for t in 0 1e-99999999; do timeout 10 $R --threshold $t compare hand-a1.txt -- hand-b2.txt "
            "> \"$T\"/c 2>/dev/null; echo $?; sed -n 2p \"$T\"/c | cut -d, -f9; done; $R --threshold 0 compare hand-a1.txt -- "
            "hand-a1.txt >/dev/null 2>&1; echo $?; rm \"$T\"/c", "1\n\"worse\n1\n\"worse\n0\n"),
    in_data("median_names_failed_runs", "$R --median hand-a1.txt interrupted.txt hand-a2.txt > \"$T\"/m; echo $?; cut "
            "-d, -f1-5 \"$T\"/m; rm \"$T\"/m", "3\nmode,size_mb,record_length,runs,write_median_mb_per_s\n"
            "file,6,4096,2,100.136\nfile,6,8192,2,300.407\n",
            "dorvik-report: a run failed or is incomplete: interrupted.txt (run 1): dorvik: interrupted; the medians are "
            "of 2 whole runs\n"),
    // Figures the program cannot print: a damaged row with its reason, and a run that is not whole.
    in_data("odd_figures_are_damaged_rows", "for rate in x $(printf '%0400d' 1) 9223372036854775808; do sed "
            "\"s/read=0.05/read=$rate/;s/ 200000000 / $rate /\" hand-a1.txt > \"$T\"/odd; $R \"$T\"/odd | sed -n 2p | "
            "cut -d, -f9-; $R --median \"$T\"/odd >/dev/null 2>&1; echo $?; done; rm \"$T\"/odd",
            "damaged,line 8 is damaged: the read rate 'x' is not a whole number\n3\ndamaged,line 8 is damaged: the read "
            "rate '0000000000000000000000000000000000000000...' is not a whole number\n3\ndamaged,line 8 is damaged: the "
            "read rate '9223372036854775808' lies beyond 0 to 9223372036854775807\n3\n"),
    // Digits of other scripts (a fullwidth 200) are no figures the program prints.
    in_data("digits_of_other_scripts_are_no_figures", "w=$(printf '\\357\\274\\222\\357\\274\\220\\357\\274\\220') && sed "
            "\"s/ 200000000 / $w /\" hand-a1.txt | $R | sed -n 2p | cut -d, -f9-; sed \"s/^Reading the file...0/Reading "
            "the file...$(printf '\\357\\274\\220')/\" single-test.txt | $R | tail -1 | cut -d, -f9-",
            "damaged,line 8 is damaged: the read rate '\xef\xbc\x92\xef\xbc\x90\xef\xbc\x90' is not a whole number\n"
            "damaged,0.007482,,line 12 is damaged: the read time '\xef\xbc\x90.001757' is not a number with decimals\n"),
    // A single test whose bytes over its time lie beyond the widest rate: a damaged row, a run that is not
    // whole for medians and comparisons, and a document under the schema.
    in_data("single_test_rate_past_the_widest", "sed 's/^\\t2048 records which are each 512/\\t18446744073709551615 "
            "records which are each 4294967295/' single-test.txt > \"$T\"/big && $R \"$T\"/big | tail -1 | cut -d, -f9-; "
            "$R --median \"$T\"/big >/dev/null 2>&1; echo $?; $R compare \"$T\"/big -- \"$T\"/big >/dev/null 2>&1; echo $?; "
            "$R --format json \"$T\"/big > \"$T\"/big.json; " + validate + "\"$SOURCE\"/docs/dorvik-report.schema.json "
            "\"$T\"/big.json | sed \"s|$T/||\"; rm \"$T\"/big*", "damaged,,,line 11 is damaged: the write time 0.007482 s "
            "gives a rate beyond 9223372036854775807 bytes per second\n3\n3\nbig.json valid\n"),
    // A report that fails is still one document under the schema: one that failed before it began, or what was
    // written until the failure, closed, with the failure.
    in_data("json_failures_are_documents", "n=0; for input in garbage.txt empty.txt 'series.txt garbage.txt' "
            "'--median garbage.txt' '--timeline series.txt'; do n=$((n + 1)); $R --format json $input > \"$T\"/$n.json "
            "2>/dev/null; echo $?; done; cd \"$T\" && " + validate + "\"$SOURCE\"/docs/dorvik-report.schema.json ?.json && "
            "python3 -c 'import json, sys\nfor name in sys.argv[1:]:\n    d = json.load(open(name))\n    print(d[\"report\"], "
            "len(d.get(\"runs\", [])), d[\"error\"])' ?.json; rm ?.json", "2\n2\n2\n2\n2\n1.json valid\n2.json valid\n"
            "3.json valid\n4.json valid\n5.json valid\nruns 0 garbage.txt:1: not dorvik output: 'hello'\nruns 0 empty.txt: "
            "no dorvik output\nruns 1 garbage.txt:1: not dorvik output: 'hello'\nerror 0 garbage.txt:1: not dorvik output: "
            "'hello'\nerror 0 series.txt: not a folder of dorvik-clients\n"),
    // Ctrl-C while the report waits for its input: one line and the status a shell gives SIGINT, and a JSON
    // document closed with it. The writer presses it every half second once the tool has opened the FIFO: Python
    // takes a signal that comes just before it enters its read only with the next one.
    Case{"report_interrupted_while_reading", "mkfifo in || exit; { while kill -INT $$ 2>/dev/null; do "
         "sleep 0.5; done; } > in & exec \"$SOURCE\"/tools/dorvik-report in", "", "dorvik-report: interrupted\n", 130,
         {"in|"}, "", "", 0, "", true},
    Case{"report_interrupted_ends_its_document", "mkfifo in || exit; { while kill -INT $$ 2>/dev/null; do "
         "sleep 0.5; done; } > in & exec \"$SOURCE\"/tools/dorvik-report --format json in", "{\n  \"schema_version\": 2,\n"
         "  \"report\": \"runs\",\n  \"runs\": [\n  ],\n  \"error\": \"interrupted\"\n}\n", "dorvik-report: interrupted\n",
         130, {"in|"}, "", "", 0, "", true},
    Case{"plot_interrupted_while_reading", "mkfifo in || exit; { while kill -INT $$ 2>/dev/null; do "
         "sleep 0.5; done; } > in & exec \"$SOURCE\"/tools/dorvik-plot -o c.png in", "", "dorvik-plot: interrupted\n", 130,
         {"in|"}, "", "", 0, "", true},
    in_data("odd_totals_line", "sed 's/read=0.05/read=x/' hand-a1.txt | $R | tail -1",
            "-,file,,,,,,,damaged,line 12 is damaged: the total read time 'x' is not a number with decimals\n"),
    // A line of 100 KB is read past, never held whole; a row cut by the next output's banner is no rate.
    in_data("long_line_and_cut_row", "{ sed -n 1,8p hand-a1.txt; head -c 100000 /dev/zero | tr '\\\\0' x; echo; sed -n "
            "'9,$p' hand-a1.txt; } | $R | tail -2; { head -c 300 hand-a1.txt; cat hand-a2.txt; } | $R | sed -n 3,4p",
            "-,file,,,,,,,damaged,line 9 is damaged: it is longer than 65536 bytes\n"
            "-,file,6,8192,300000000,400000000,286.102,381.470,ok,\n-,file,6,8192,,,,,damaged,line 9 is cut short: the next output begins inside it\n"
            "-,file,,,,,,,incomplete,line 9 is cut short: the next output begins inside it\n"),
    // The cut line may belong to the run before it: that run is not whole either.
    in_data("cut_line_after_a_complete_run", "{ cat hand-a1.txt; printf '\\nDORVIK'; } | $R | tail -1",
            "-,file,,,,,,,incomplete,line 17 is cut short: the output ends inside it\n"),
    in_data("quotes_in_csv_doubled", "cp hand-a1.txt \"$T/a\\\"b,c\" && (cd \"$T\" && $R 'a\"b,c' | sed -n 2p; rm 'a\"b,c')",
            "\"a\"\"b,c\",file,6,4096,100000000,200000000,95.367,190.735,ok,\n"),
    in_data("del_escaped", "f=\"$(printf 'a\\177b')\" && cp hand-a1.txt \"$T/$f\" && (cd \"$T\" && $R --format markdown "
            "\"$f\" | sed -n 3p | cut -d' ' -f1-2; rm \"$f\")", "| a\\x7fb\n"),
    // A reader that has seen enough, such as head, is no failure.
    in_data("report_into_head", "{ for i in $(seq 400); do cat series.txt; done | $R; echo $? > \"$T\"/s; } | head -1; "
            "cat \"$T\"/s; rm \"$T\"/s", "source,mode,size_mb,record_length,write_bytes_per_s,read_bytes_per_s,"
            "write_mb_per_s,read_mb_per_s,status,reason\n0\n"),
    // Every JSON form, a clients folder's too, checked against the schema as installed.
    in_data("json_matches_the_installed_schema", "DESTDIR=\"$T/root\" cmake --install \"$BUILD\" --prefix /opt/dorvik "
            ">/dev/null && $R --format json series.txt single-test.txt failed-series.txt > \"$T\"/runs.json && $R "
            "--format json clients-series > \"$T\"/clients.json && $R --format json --median hand-a?.txt interrupted.txt "
            "> \"$T\"/medians.json; $R --format json compare hand-a?.txt -- hand-c?.txt > \"$T\"/compare.json 2>/dev/null && "
            "$R --format json clients-environment > \"$T\"/environment.json && $R --format json compare cdrom-series.txt -- "
            "cdrom-series.txt > \"$T\"/cdrom.json 2>/dev/null && cd \"$T\" && " + validate +
            "root/opt/dorvik/share/dorvik/dorvik-report.schema.json runs.json clients.json medians.json compare.json "
            "environment.json cdrom.json && rm -r root *.json", "runs.json valid\nclients.json valid\nmedians.json valid\n"
            "compare.json valid\nenvironment.json valid\ncdrom.json valid\n", "dorvik-report: a run failed or is incomplete: interrupted.txt (run 1): dorvik: "
            "interrupted; the medians are of 3 whole runs\n")), case_name);

const std::vector<std::string> installed_files = {
    "bin/", "bin/dorvik", "bin/dorvik-clients", "bin/dorvik-plot", "bin/dorvik-report", "bin/dorvik_long", "share/",
    "share/doc/", "share/doc/dorvik/", "share/doc/dorvik/README.md.gz", "share/doc/dorvik/changelog.gz", "share/doc/dorvik/copyright",
    "share/dorvik/", "share/dorvik/dorvik-report.schema.json", "share/dorvik/dorvik_tools/",
    "share/dorvik/dorvik_tools/__init__.py",
    "share/dorvik/dorvik_tools/barrier.py", "share/dorvik/dorvik_tools/channel.py",
    "share/dorvik/dorvik_tools/charts.py", "share/dorvik/dorvik_tools/client.py",
    "share/dorvik/dorvik_tools/clients.py", "share/dorvik/dorvik_tools/clients_chart.py",
    "share/dorvik/dorvik_tools/clients_report.py",
    "share/dorvik/dorvik_tools/controller.py", "share/dorvik/dorvik_tools/environment.py",
    "share/dorvik/dorvik_tools/folder.py", "share/dorvik/dorvik_tools/live.py",
    "share/dorvik/dorvik_tools/local.py", "share/dorvik/dorvik_tools/pages.py", "share/dorvik/dorvik_tools/reader.py", "share/dorvik/dorvik_tools/records.py",
    "share/dorvik/dorvik_tools/report.py", "share/dorvik/dorvik_tools/slurm.py",
    "share/dorvik/dorvik_tools/timeline.py", "share/dorvik/dorvik_tools/verdicts.py", "share/man/", "share/man/man1/",
    "share/man/man1/dorvik-clients.1.gz", "share/man/man1/dorvik-plot.1.gz", "share/man/man1/dorvik-report.1.gz",
    "share/man/man1/dorvik.1.gz", "share/man/man1/dorvik_long.1.gz"};

// The installed files under prefix, as the case's folder lists them.
std::vector<std::string> installed(const std::string &prefix)
{
    std::vector<std::string> paths = {"root/", "root/opt/", "root/opt/dorvik/"};
    for (const std::string &file : installed_files)
        paths.push_back(prefix + file);
    return paths;
}

// The package's files as rpm -qlp lists them: the files, and the folders of its own.
std::string rpm_listing()
{
    std::vector<std::string> paths;
    for (const std::string &file : installed_files)
        if (file != "bin/" && file != "share/" && file != "share/doc/" && file != "share/man/" &&
            file != "share/man/man1/")
            paths.push_back("/usr/" + (file.back() == '/' ? file.substr(0, file.size() - 1) : file));
    std::sort(paths.begin(), paths.end());
    std::string listing;
    for (const std::string &path : paths)
        listing += path + "\n";
    return listing;
}

// The same as dpkg-deb -c lists them: every folder too.
std::string deb_listing()
{
    std::string listing = "./usr/\n";
    for (const std::string &file : installed_files)
        listing += "./usr/" + file + "\n";
    return listing;
}

// Every page in man/, by name, and whatever groff finds wrong in it (nothing).
const std::string manual_pages = "LC_ALL=C; for page in \"$SOURCE\"/man/*.1; do basename \"$page\"; "
                                 "groff -man -ww -z \"$page\" 2>&1; done";
const std::string page_names = "dorvik-clients.1\ndorvik-plot.1\ndorvik-report.1\ndorvik.1\ndorvik_long.1\n";
const std::string make_package = "cpack -G \"DEB;RPM\" -B \"$PWD/pkg\" --config \"$BUILD/CPackConfig.cmake\" >/dev/null 2>&1 && ";
// The .deb installed by dpkg into a root of its own, every tool used (by
// Python as users run it, free to write byte-code), then purged: what is left
// of the root besides dpkg's own folder.
const std::string dpkg_root = "dpkg --root=\"$PWD/root\" --force-not-root --force-depends ";
const std::string install_use_purge = "unset PYTHONDONTWRITEBYTECODE && " + make_package + "mkdir -p root/var/lib/dpkg/info root/var/lib/dpkg/updates && "
    "touch root/var/lib/dpkg/status && " + dpkg_root + "-i pkg/dorvik_*.deb >/dev/null 2>&1 && cd root/usr/bin && "
    "./dorvik-report \"$TESTS\"/data/hand-a1.txt >/dev/null && ./dorvik-plot -o ../../../chart.svg \"$TESTS\"/data/series.txt && "
    "./dorvik-clients --version && ./dorvik help >/dev/null && cd ../../.. && " + dpkg_root + "--purge dorvik >/dev/null && "
    "ls root && rm -r pkg root chart.svg";

INSTANTIATE_TEST_SUITE_P(Install, Arguments, testing::Values(
    Case{"into_scratch_root", "DESTDIR=\"$PWD/root\" cmake --install \"$BUILD\" --prefix /opt/dorvik >/dev/null && "
         "exec root/opt/dorvik/bin/dorvik help", help_text(), "", 0, installed("root/opt/dorvik/"), "", "", 0, "", true},
    Case{"installed_report_finds_its_reader", "DESTDIR=\"$PWD/root\" cmake --install \"$BUILD\" --prefix /opt/dorvik "
         ">/dev/null && cd / && exec \"$OLDPWD\"/root/opt/dorvik/bin/dorvik-report \"$TESTS\"/data/hand-a1.txt",
         "source,mode,size_mb,record_length,write_bytes_per_s,read_bytes_per_s,write_mb_per_s,read_mb_per_s,status,"
         "reason\n{*}/hand-a1.txt,file,6,4096,100000000,200000000,95.367,190.735,ok,\n"
         "{*}/hand-a1.txt,file,6,8192,300000000,400000000,286.102,381.470,ok,\n", "", 0,
         installed("root/opt/dorvik/"), "", "", 0, "", true},
    Case{"purge_after_use_leaves_nothing", install_use_purge, "dorvik-plot: wrote ../../../chart.svg\ndorvik-clients "
         PROJECT_VERSION "\nvar\n", "", 0, {}, "", "", 0, "", true, "", "command -v dpkg-shlibdeps && command -v gnuplot"},
    Case{"manual_pages_without_warnings", manual_pages, page_names, "", 0, {}, "", "", 0, "", true, "", "command -v groff"},
    // A sanitizer build adds its runtimes to Depends. Lintian finds nothing
    // beyond its informational level; no field or document names example.org.
    Case{"debian_package", make_package + "dpkg-deb -c pkg/dorvik_*.deb | awk '{ print $6 }' && "
         "dpkg-deb -f pkg/dorvik_*.deb Package Section Priority Maintainer Depends Recommends Homepage && "
         "TMPDIR=\"$PWD/pkg\" lintian --pedantic -E pkg/dorvik_*.deb 2>/dev/null && dpkg-deb -x pkg/dorvik_*.deb x && "
         "{ dpkg-deb -f pkg/dorvik_*.deb; zcat x/usr/share/doc/dorvik/*.gz; cat x/usr/share/doc/dorvik/copyright; } | "
         "grep -c example.org; rm -r pkg x", deb_listing() +
         "Package: dorvik\nSection: utils\nPriority: optional\nMaintainer: dorvik developers <dorvik@dorvik.invalid>\n"
         "Depends: python3, {*}libblkid1 (>= {*}), {*}libc6 (>= {*})\nRecommends: gnuplot-nox | gnuplot, pdsh, clustershell\n0\n", "", 0, {},
         "", "", 0, "", true, "", "command -v dpkg-shlibdeps && command -v lintian"},
    Case{"rpm_package", make_package + "rpm -qlp pkg/dorvik-*.rpm && r=$(rpm -qp --requires pkg/dorvik-*.rpm) && "
         "echo \"$r\" | grep -x python3 && echo \"$r\" | grep -xF 'libblkid.so.1()(64bit)' && rpm -qp --qf '%{SUMMARY}\\n%{LICENSE}\\n%{URL}\\n%{DESCRIPTION}\\n' pkg/dorvik-*.rpm | "
         "head -4 && rpm -qip pkg/dorvik-*.rpm | grep -c example.org; rm -r pkg", rpm_listing() + "python3\nlibblkid.so.1()(64bit)\n"
         "benchmark of sequential file I/O for disks, NFS and SAN\nMIT\n(none)\n"
         "dorvik writes a file as a run of equal records, forces it to stable storage\n0\n", "", 0, {}, "", "", 0, "",
         true, "", "command -v rpmbuild"}), case_name);

} // namespace
