// Window layout and feedback: the photo window fits the screen beside the sliders, the pointer
// shows busy while stages run, and the status bar says what runs or ran.
#pragma once

#include <opencv2/core.hpp>
#include <string>

// Name of the control window that holds the sliders.
inline constexpr const char* kControlWindow = "Lumivet Tool";
// Name of the window that shows the photo and every result.
inline constexpr const char* kImageWindow = "Image";

// Shows `photo` in the "Image" window. When that window is not open (the first time, or after the
// user closed it), it opens, and it and the control window are placed side by side within the
// screen's available area with the photo's view scaled to fit (never above 1:1; the window's zoom
// still reaches 1:1). Call once the sliders exist.
void showPhoto(const cv::Mat& photo);

// The size at which the "Image" window shows `photo` as a whole: the photo scaled down to fit its
// view, or the photo's own size when it fits or the window is not open.
cv::Size photoViewSize(const cv::Size& photo);

// Whether the window of that name is open and shown.
bool windowShown(const char* name);

// Shows or clears the busy pointer.
void setBusy(bool busy);

// The status line of a completed run: "label position - N ms".
std::string describeStageRun(const std::string& label, int position, double milliseconds);

// Puts `text` in the "Image" window's status bar.
void showStatusLine(const std::string& text);
