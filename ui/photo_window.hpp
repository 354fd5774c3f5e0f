// The photo window "Image": the photo fitted to its view from a picture the session scales with
// area averaging, zoom and pan over the photo's own samples, the tool's own save, a copy of the
// photo to the clipboard, the photo as opened while "Before" is held, a histogram of what is shown
// with the share of clipped samples, clipping marks, and a status bar.
#pragma once

#include <QMainWindow>
#include <functional>
#include <opencv2/core.hpp>

#include "pipeline/scaling.hpp"

class PhotoView;
class HistogramView;

// Whether an X keysym is a modifier or lock key, which on its own ends nothing: Shift, Control,
// Caps and Shift Lock, Meta, Alt, Super and Hyper; the ISO level and group keys (AltGr is
// ISO_Level3_Shift); Mode_switch and Num_Lock.
bool isModifierKey(int keysym);

class PhotoWindow : public QMainWindow {
 public:
  PhotoWindow();

  // Shows `fit`, the photo already scaled to fitSize() of its size, painted sample for sample at
  // fit. Zoomed views draw `full`, the photo at full resolution, to the nearest sample; when it is
  // empty they scale `fit`, and Copy keeps the last full image given. `marks` holds the ClipMark
  // bits of each pixel of `fit` and `histogram` counts what is shown; when empty, both come from
  // `fit` itself. All are shared with the caller, who never writes them afterwards. An empty `fit`
  // clears the window.
  void setPicture(const cv::Mat& fit, const cv::Mat& full, const cv::Mat& marks = {},
                  const Histogram& histogram = {});
  // The photo as opened, in the same form, which the window shows while "Before" is held.
  void setOriginal(const cv::Mat& fit, const cv::Mat& full, const cv::Mat& marks,
                   const Histogram& histogram);
  // The last full-resolution image given.
  const cv::Mat& photo() const;
  // The histogram the window shows.
  const Histogram& histogram() const;

  // The size at which the view fits a photo of size `photo`: scaled down to the view, never up.
  cv::Size fitSize(const cv::Size& photo) const;
  // The view's size without scroll bars: the rest of the window is its toolbar, status bar and
  // frame.
  QSize viewSize() const;

  void showStatus(const QString& text);

  // Called when the user ends the run and asks for the save: a key typed in the window that is
  // neither a lone modifier nor one of the window's shortcuts, or "Save and close".
  void setEndHandler(std::function<void()> handler);
  // Called with the new fit size once a resize of the window has settled; until the next picture
  // arrives, the old one is scaled to that size.
  void setFitSizeHandler(std::function<void(cv::Size)> handler);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool focusNextPrevChild(bool next) override;

 private:
  void copyPhoto() const;
  void end() const;
  void showBefore(bool before);
  void updateHistogram();

  PhotoView* view_;
  HistogramView* histogram_;
  std::function<void()> endHandler_;
  QString status_;  // the session's last status line
  Histogram shown_, original_;
  bool before_ = false;
};
