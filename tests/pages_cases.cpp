// The cases of dorvik-report's HTML pages (a series or several, a comparison, a dorvik-clients folder),
// read as text and opened in headless Chromium, and of the one style of dorvik-plot's charts.
#include "cases.hpp"

#include <gtest/gtest.h>

namespace {

// A script run in the case's folder: R is dorvik-report, P dorvik-plot, D the recorded outputs, and check
// opens a page in headless Chromium (tests/page_check.py).
Case page(const std::string &name, const std::string &script, const std::string &out, const std::string &err = "",
          int status = 0, const std::string &needs = "")
{
    return Case{name, "R=\"$SOURCE\"/tools/dorvik-report && P=\"$SOURCE\"/tools/dorvik-plot && D=\"$TESTS\"/data && "
                "check() { python3 \"$TESTS\"/page_check.py \"$@\"; } && " + script, out, err, status, {}, "", "", 0, "",
                true, "", needs};
}

// What page_check says of a page that a person sees drawn whole: its charts, no script, the count of
// each text asked for, no console message, a screenshot that is not blank, and nothing fetched.
std::string seen(int charts, const std::string &texts)
{
    return "svg: " + std::to_string(charts) + "\nscript: 0\n" + texts + "console: none\nscreenshot: many colours\n"
           "fetches: none\n";
}

const std::string in_a_browser = "command -v chromium";
// Three whole runs, one interrupted and one with a damaged row.
const std::string runs_with_failures = "cp \"$D\"/hand-a?.txt \"$D\"/interrupted.txt . && sed 's/ 200000000 / 2x0000000 /' "
                                       "hand-a1.txt > damaged.txt && $R --format html -o p.html hand-a?.txt interrupted.txt "
                                       "damaged.txt; echo \"status $?\"; ";
// Synthetic runs, three a side, the new 25% slower at every point: worse over the grid.
const std::string worse_comparison = "mkdir w && \"$SOURCE\"/scripts/false-alarms --write w --drop 25 && $R --format html compare "
                                     "w/old-* -- w/new-* > p.html; echo \"status $?\"; ";
const std::string worse_warnings = "dorvik-report: write over the grid: worse, ratio 0.738 (0.680 to 0.801 at 98.75%), 3 "
    "old and 3 new runs\ndorvik-report: read over the grid: worse, ratio 0.739 (0.660 to 0.827 at 98.75%), 3 old and 3 "
    "new runs\ndorvik-report: to find a drop of 20% 4 times in 5, runs a side: write 9 at a single point, 3 over the "
    "grid; read 8 at a single point, 3 over the grid\n";
// Inputs whose names, notes, device, reasons and host carry markup, quotes, control characters and a byte
// that is not UTF-8:
// a raw series on the device "<img ...>" with a note, a run that failed, a run with a damaged row, and
// a dorvik-clients folder whose first host is named "<script>..." and whose second failed.
const std::string hostile_inputs = "mkdir h && (cd h && { printf '# <b>note</b> \"q\" \\047a\\047 \\001\\033[31m\\n'; sed "
    "'s/auto-test mode $/auto-test mode raw device <img src=x onerror=alert(1)>/' \"$D\"/hand-a1.txt; } > "
    "\"$(printf '<script>alert(\"x\")\\047q\\001.txt')\" && { sed -n 1,8p \"$D\"/hand-a1.txt; printf 'Error: "
    "<script>alert(2)</script> \\002\\n'; } > \"$(printf 'fail<i>\\376.txt')\" && sed 's/ 200000000 / <b>x /' \"$D\"/hand-a1.txt > "
    "'damaged\"q.txt' && python3 \"$TESTS\"/clients_folder.py 'f<o>\"o' 2 --hostile && $R --format html -o ../p.html *); ";
// A gnuplot on PATH that keeps the script it is given in script.gp and draws nothing.
const std::string gnuplot_stand_in = "mkdir bin && printf '#!/bin/sh\\ncat > script.gp\\n' > bin/gnuplot && chmod +x "
                                     "bin/gnuplot && PATH=$PWD/bin:$PATH && ";

INSTANTIATE_TEST_SUITE_P(Pages, Arguments, testing::Values(
    // The runs that failed or are damaged are named, and the medians of the three whole ones charted.
    page("series_page_names_what_failed", runs_with_failures + "grep -o '<li>[^<]*</li>' p.html; grep -c '<svg' p.html; "
         "rm p.html *.txt", "status 0\n<li>interrupted.txt: dorvik: interrupted</li>\n<li>damaged.txt: line 8 is damaged: "
         "the read rate &#x27;2x0000000&#x27; is not a whole number</li>\n1\n"),
    page("series_page_in_a_browser", runs_with_failures + "check p.html 'Medians of the runs' 'damaged.txt: line 8' && "
         "rm p.html *.txt", "status 0\n" + seen(1, "Medians of the runs: 1\ndamaged.txt: line 8: 1\n"), "", 0,
         in_a_browser),
    // Two series of different grids: a chart each, and no id that two charts share.
    page("charts_keep_their_ids_apart", "$R --format html \"$D\"/series.txt \"$D\"/hand-a1.txt > p.html && grep -c '<svg' "
         "p.html && grep -o \" id=['\\\"][^'\\\"]*\" p.html | sort | uniq -d | wc -l; rm p.html", "2\n0\n"),
    // Standard input, read again for the medians.
    page("page_from_standard_input", "cat \"$D\"/hand-a?.txt | $R --format html | grep -o -e '<h2>[^<]*</h2>' -e '<svg'",
         "<h2>Failed and damaged</h2>\n<h2>Medians of the runs</h2>\n<svg\n<h2>Tests</h2>\n<h2>Runs</h2>\n"),
    page("medians_page_names_the_run_left_out", "$R --format html --median \"$D\"/hand-a?.txt \"$D\"/interrupted.txt > "
         "p.html; echo \"status $?\"; grep -o '<li>[^<]*</li>' p.html; rm p.html", "status 3\n<li>{*}/interrupted.txt "
         "(run 1): dorvik: interrupted</li>\n", "dorvik-report: a run failed or is incomplete: {*}/interrupted.txt (run 1): "
         "dorvik: interrupted; the medians are of 3 whole runs\n"),
    // The verdict at the top, each point's mark as a coloured cell with its ratio new/old.
    page("comparison_page_marks", "$R --format html compare \"$D\"/hand-a?.txt -- \"$D\"/hand-c?.txt > p.html; echo "
         "\"status $?\"; grep -o -e '<p class=\"[a-z ]*verdict\">[^<:]*' -e '<td class=\"[a-z ]*\">[a-z, ]*<br>[0-9.]*' "
         "p.html; " + worse_comparison + "grep -o '<p class=\"[a-z ]*verdict\">[^<:]*' p.html; grep -o '<td class=\"worse\">' "
         "p.html | wc -l; rm -r w p.html", "status 0\n<p class=\"fine verdict\">Not worse\n<td class=\"noise\">noise<br>0.88\n"
         "<td class=\"noise\">noise<br>1.267\n<td class=\"same\">same<br>1\n<td class=\"noise\">noise<br>0.875\nstatus 1\n"
         "<p class=\"problems verdict\">Worse\n32\n", "dorvik-report: write over the grid: same, ratio 1.050 (0.700 to 1.574 "
         "at 98.75%), 3 old and 3 new runs\ndorvik-report: read over the grid: same, ratio 0.948 (0.769 to 1.168 at "
         "98.75%), 3 old and 3 new runs\ndorvik-report: to find a drop of 20% 4 times in 5, runs a side: write 10 at a "
         "single point, 8 over the grid; read 10 at a single point, 4 over the grid\n" + worse_warnings),
    page("comparison_page_in_a_browser", worse_comparison + "check p.html 'class=\"worse\"' 'Verdicts per phase' && rm -r "
         "w p.html", "status 1\n" + seen(1, "class=\"worse\": 32\nVerdicts per phase: 1\n"), worse_warnings, 0,
         in_a_browser),
    // Both sides' medians on one set of axes: per size the old line dashed, the new solid, in one colour.
    page("comparison_chart_data", gnuplot_stand_in + "$R --format html compare \"$D\"/hand-a?.txt -- \"$D\"/hand-c?.txt | "
         "grep -o 'No chart: [^<]*'; sed -n '/^\\$data/,/^EOD/p;/^set linetype/p;/^set multiplot/p' script.gp; rm -r bin "
         "script.gp", "No chart: gnuplot wrote no chart: No such file or directory\n$data << EOD\n4096 95.367 190.735\n"
         "8192 286.102 381.470\n\n\n4096 83.923 190.735\n8192 362.396 333.786\nEOD\n"
         "set linetype 1 lc rgb '#0072b2' dt 2 pt 6 ps 0.8\nset linetype 2 lc rgb '#0072b2' dt 1 pt 7 ps 0.8\n"
         "set multiplot layout 1,2 title 'dorvik series compared: the medians of the old runs (dashed) and the new "
         "(solid)'\n", "dorvik-report: write over the grid: same, ratio 1.050 (0.700 to 1.574 at 98.75%), 3 old and 3 new "
         "runs\ndorvik-report: read over the grid: same, ratio 0.948 (0.769 to 1.168 at 98.75%), 3 old and 3 new runs\n"
         "dorvik-report: to find a drop of 20% 4 times in 5, runs a side: write 10 at a single point, 8 over the grid; "
         "read 10 at a single point, 4 over the grid\ndorvik-report: no chart: gnuplot wrote no chart: No such file or "
         "directory\n"),
    // Four clients on the throttled device: each host, nothing flagged, the time line, and the aggregate of
    // all bytes over each phase's span as the CSV gives it; a host that failed is flagged with its reason.
    page("clients_page_tables", "$R --format html \"$D\"/clients-throttled > p.html; grep -o -e '<summary>[^<]*</summary>' "
         "-e '<p class=\"fine\">[^<]*' -e '<td class=\"n\">64</td><td class=\"n\">65536</td><td class=\"n\">[0-9]*\\.[0-9]*' p.html; "
         "grep -c '<svg' p.html; $R --format html \"$D\"/clients-dropped | grep -o '<li>127[^<]*</li>'; rm p.html",
         "<p class=\"fine\">Every run reached its end, and no line is damaged.\n<p class=\"fine\">Nothing flagged: every "
         "host ran its tests, started in time and kept its clock.\n<td class=\"n\">64</td><td class=\"n\">65536</td><td "
         "class=\"n\">49.368\n<td class=\"n\">64</td><td class=\"n\">65536</td><td class=\"n\">50.024\n<summary>127.0.0.2"
         "</summary>\n<summary>127.0.0.3</summary>\n<summary>127.0.0.4</summary>\n<summary>127.0.0.5</summary>\n1\n"
         "<li>127.0.0.6: {*}/127.0.0.6.out: not ready within 5 s</li>\n<li>127.0.0.6: reason: not ready within 5 s</li>\n"),
    page("clients_page_in_a_browser", "$R --format html -o p.html \"$D\"/clients-dropped && check p.html '<summary>' && "
         "rm p.html", seen(1, "<summary>: 5\n"), "", 0, in_a_browser),
    // Sixteen hosts, a 20-point series of about 100 s sampled every 20 ms: the page stays under 2 MB,
    // under 1 MB here, its time line drawn from at most 20,000 points (from every sample, about 1.5 MB).
    page("sixteen_hosts_under_two_megabytes", "python3 \"$TESTS\"/clients_folder.py f 16 8 && $R --format html -o p.html "
         "f && wc -c < p.html | awk '{ print ($1 < 1000000 ? \"under 1 MB\" : $1 \" bytes\") }' && grep -c "
         "'<summary>client' p.html; rm -r f p.html", "under 1 MB\n16\n"),
    // Texts from the inputs are shown, never obeyed: no element of theirs, no control character, and the
    // page forbids every script and fetch.
    page("hostile_texts_escaped", hostile_inputs + "grep -c -i -e '<script' -e '<img' -e '<b>' -e '<i>' p.html; tr -d "
         "'\\n\\t' < p.html | LC_ALL=C grep -c '[[:cntrl:]]'; iconv -f utf-8 -t utf-8 p.html > /dev/null && grep -c \"default-src 'none'\" p.html; grep -o -e "
         "'Inputs: [^<]*' -e 'Error: &lt;[^<]*' -e '# &lt;b[^<]*' p.html | LC_ALL=C sort -u; rm -r h p.html",
         "0\n0\n1\n# &lt;b&gt;note&lt;/b&gt; &quot;q&quot; &#x27;a&#x27; \\x01\\x1b[31m\nError: &lt;img src=x onerror="
         "alert(1)&gt; &quot;q&quot; &#x27;a&#x27;\\x07\nError: &lt;script&gt;alert(2)&lt;/script&gt; \\x02\n"
         "Error: &lt;script>alert(2)&lt;/script> \\x02)\nInputs: "
         "&lt;script&gt;alert(&quot;x&quot;)&#x27;q\\x01.txt, damaged&quot;q.txt, f&lt;o&gt;&quot;o, fail&lt;i&gt;\\xfe.txt.\n"),
    page("hostile_texts_in_a_browser", hostile_inputs + "check p.html '&lt;script&gt;alert(' && rm -r h p.html",
         seen(4, "&lt;script&gt;alert(: {N}\n"), "", 0, in_a_browser),
    // -o writes any format into a file; a file that cannot be made, or a page of a time line, is refused.
    page("page_refusals", "$R -o r.csv \"$D\"/hand-a1.txt && head -1 r.csv && rm r.csv && $R --format html -o nowhere/p.html \"$D\"/hand-a1.txt; echo $?; $R --format html --timeline "
         "\"$D\"/clients-throttled 2>&1 | tail -1; $R --format html compare \"$D\"/hand-a1.txt -- \"$D\"/interrupted.txt; "
         "echo $?", "source,mode,size_mb,record_length,write_bytes_per_s,read_bytes_per_s,write_mb_per_s,read_mb_per_s,status,"
         "reason\n2\ndorvik-report: error: --timeline writes data (csv, json or markdown); a folder's page: --format "
         "html FOLDER\n3\n", "dorvik-report: cannot write nowhere/p.html: No such file or directory\ndorvik-report: cannot "
         "compare: a run failed or is incomplete: {*}/interrupted.txt (run 1): dorvik: interrupted\n"),
    // Without gnuplot the page is written, and says where its charts would be.
    page("page_without_gnuplot", "PATH=/nonexistent $R --format html \"$D\"/hand-a1.txt | grep -o 'No chart: [^<]*'",
         "No chart: gnuplot is not installed (apt install gnuplot-nox)\n",
         "dorvik-report: no chart: gnuplot is not installed (apt install gnuplot-nox)\n"),
    // One style in every format: colours, dashes and markers per line, one font, the key outside the
    // data; the clients' time line grows taller with its key below it, two entries a row.
    page("one_style_in_png_and_svg", gnuplot_stand_in + "for c in c.png c.svg; do $P -o $c \"$D\"/series.txt \"$D\"/series.txt "
         ">/dev/null && grep -E '^set (terminal|linetype|key)' script.gp; done; python3 \"$TESTS\"/clients_folder.py f 16 "
         "50 && for f in \"$D\"/clients-throttled f; do $P -o c.svg $f >/dev/null && grep -E '^set (terminal|key)' script.gp; "
         "done; rm -r bin script.gp f", "set terminal pngcairo size 1200,500 noenhanced font 'sans,10'\n"
         "set linetype 1 lc rgb '#0072b2' dt 1 pt 7 ps 1.2\nset linetype 2 lc rgb '#d55e00' dt 2 pt 5 ps 1.2\nset key off\n"
         "set key outside right top title 'run'\nset terminal svg size 1200,500 dynamic noenhanced font 'sans,13' "
         "dashlength 1.6\nset linetype 1 lc rgb '#0072b2' dt 1 pt 7 ps 0.8\nset linetype 2 lc rgb '#d55e00' dt 2 pt 5 ps "
         "0.8\nset key off\nset key outside right top title 'run'\nset terminal svg size 1200,760 dynamic noenhanced font "
         "'sans,13' dashlength 1.6\nset key outside below center horizontal height 1\nset terminal svg size 1200,740 dynamic "
         "noenhanced font 'sans,13' dashlength 1.6\nset key outside below center horizontal height 1\n")), case_name);

} // namespace
