// The program driver: file choice, loading, the control window, the key wait and the save.
#pragma once

// Runs the tool; returns the process exit status (0 done or cancelled, 1 unreadable image,
// 2 result not saved or wrong usage).
int runTool(int argc, char** argv);
