"""The tools around dorvik: one reader of its output (reader), the arithmetic
of a dorvik-clients folder (clients), reports and comparisons (report),
charts (charts) and the runner of many clients (controller). The executables
dorvik-report, dorvik-plot and dorvik-clients each call one module's main()."""
