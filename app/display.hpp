// Window layout and feedback: the photo window fits the screen beside the sliders, the pointer
// shows busy while a stage runs, and the status bar says what ran and how long it took.
#pragma once

#include <opencv2/core.hpp>
#include <string>

// Opens the "Image" window with `photo`, places it and the control window side by side within the
// screen's available area and scales the photo's view to fit (never above 1:1; the window's zoom
// still reaches 1:1). Call once the sliders exist.
void openWindows(const char* controlWindow, const cv::Mat& photo);

// Shows or clears the busy pointer; shown at once, even though the event loop is blocked.
void setBusy(bool busy);

// Puts "label position - N ms" in the "Image" window's status bar and returns that text.
std::string reportStageRun(const std::string& label, int position, double milliseconds);
