"""The tools around dorvik: one reader of its output (reader), the arithmetic
of a dorvik-clients folder (clients), reports and comparisons (report),
charts (charts), and the runner of many clients: its controller
(controller) and what runs on each client (client). The executables
dorvik-report, dorvik-plot and dorvik-clients each call one module's main()."""

# The package's version, which every tool's --version prints; the same as the
# project's version in CMakeLists.txt.
VERSION = "2.0.13"
