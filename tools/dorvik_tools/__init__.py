"""The tools around dorvik: one reader of its output (reader), the arithmetic
of a dorvik-clients folder (clients), reports and comparisons (report), the
report of a dorvik-clients run (clients_report), charts (charts), and the
runner of many clients: the command and its loop (controller), the parallel
shell and the lines it brings back (channel), the course of a run: clocks,
barriers and deadlines (barrier), the status line on a terminal (live), and
what runs on each client (client). The executables dorvik-report,
dorvik-plot and dorvik-clients each call one module's main()."""

# The package's version, which every tool's --version prints; the same as the
# project's version in CMakeLists.txt.
VERSION = "2.0.13"
