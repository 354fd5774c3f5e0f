// Window layout and feedback: the photo window fits the screen beside the sliders, the pointer
// shows busy while stages run, and the status bar says what runs or ran.
#pragma once

#include <opencv2/core.hpp>
#include <string>

// Name of the control window that holds the sliders.
inline constexpr const char* kControlWindow = "Lumivet Tool";
// Name of the window that shows the photo and every result.
inline constexpr const char* kImageWindow = "Image";

class PhotoWindow;

// The photo window that the functions below open, place and ask; the driver owns it.
void setPhotoWindow(PhotoWindow* window);

// Opens the "Image" window when it is not shown (the first time, or after the user closed it), and
// places it and the control window side by side within the screen's available area, its view
// sized to fit a photo of size `photo` (never above 1:1; the window's zoom still reaches 1:1).
// Call once the sliders exist.
void openPhotoWindow(const cv::Size& photo);

// The size at which the "Image" window shows a photo of size `photo` as a whole: scaled down to
// fit its view, or the photo's own size when it fits or the window is not open.
cv::Size photoViewSize(const cv::Size& photo);

// Whether the window of that name is open and shown.
bool windowShown(const char* name);

// Shows or clears the busy pointer.
void setBusy(bool busy);

// The status line of a completed run: "label position - N ms".
std::string describeStageRun(const std::string& label, int position, double milliseconds);

// Puts `text` in the "Image" window's status bar.
void showStatusLine(const std::string& text);
