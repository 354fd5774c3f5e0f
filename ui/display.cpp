// Window layout, busy pointer and status bar through highgui, Qt and the photo window.
#include "ui/display.hpp"

#include <QApplication>
#include <QCursor>
#include <QGraphicsView>
#include <QLayout>
#include <QScreen>
#include <QSlider>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <opencv2/highgui.hpp>

#include "ui/photo_window.hpp"

namespace {

// Room for a window manager's title bar and borders, and the gap between the two windows.
constexpr int kTitleHeight = 40;
constexpr int kFrameWidth = 12;
constexpr int kGap = 8;
// Sliders need some length to be usable; highgui makes them as short as their labels allow.
constexpr int kSliderWidth = 260;

PhotoWindow* photoWindow = nullptr;

QWidget* topLevelWindow(const char* title) {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->isWindow() && widget->windowTitle() == QString::fromUtf8(title)) return widget;
  }
  return nullptr;
}

void layoutWindows(const cv::Size& imageSize) {
  // The control window's sliders must have been laid out first: sized before that, it would
  // shrink to nothing, which unmaps it for a moment.
  QApplication::processEvents();
  QWidget* controls = topLevelWindow(kControlWindow);
  if (controls) {
    // The control window never shows an image; its empty picture area would only take room.
    if (auto* view = controls->findChild<QGraphicsView*>()) view->hide();
    for (QSlider* slider : controls->findChildren<QSlider*>())
      slider->setMinimumWidth(kSliderWidth);
    controls->adjustSize();
  }
  QApplication::processEvents();

  const QScreen* screen = QGuiApplication::primaryScreen();
  PhotoWindow* image = photoWindow;
  if (!screen || !image) return;
  const QRect area = screen->availableGeometry();
  const QSize controlSize = controls ? controls->frameGeometry().size() : QSize(0, 0);
  // The toolbar and status bar around the picture, measured on a window of a typical size.
  image->resize(800, 600);
  if (image->layout()) image->layout()->activate();
  QApplication::processEvents();
  const int chromeHeight = image->height() - image->viewSize().height();
  const int chromeWidth = image->width() - image->viewSize().width();

  // The sliders go beside the photo or below it, whichever leaves the photo larger; the photo is
  // never shown above 1:1 at first.
  const auto fitScale = [&](int width, int height) {
    return std::min({1.0, double(width - chromeWidth - kFrameWidth) / imageSize.width,
                     double(height - chromeHeight - kTitleHeight) / imageSize.height});
  };
  const double besideScale =
      fitScale(area.width() - controlSize.width() - kGap - kFrameWidth, area.height());
  const double belowScale =
      fitScale(area.width(), area.height() - controlSize.height() - kGap - kTitleHeight);
  const bool beside = besideScale >= belowScale;
  const double scale = std::max(0.01, std::max(besideScale, belowScale));
  const int viewWidth = std::max(1, int(std::floor(imageSize.width * scale)));
  const int viewHeight = std::max(1, int(std::floor(imageSize.height * scale)));

  image->resize(viewWidth + chromeWidth, viewHeight + chromeHeight);
  image->move(area.topLeft());
  QApplication::processEvents();
  if (!controls) return;
  const QRect imageFrame = image->frameGeometry();
  if (beside) {
    controls->move(imageFrame.right() + 1 + kGap, area.y());
  } else {
    controls->move(area.x(), imageFrame.bottom() + 1 + kGap);
  }
}

}  // namespace

void setPhotoWindow(PhotoWindow* window) {
  photoWindow = window;
}

bool windowShown(const char* name) {
  if (std::string(name) == kImageWindow) return photoWindow && photoWindow->isVisible();
  try {
    return cv::getWindowProperty(name, cv::WND_PROP_VISIBLE) > 0;
  } catch (const cv::Exception&) {
    return false;
  }
}

cv::Size photoViewSize(const cv::Size& photo) {
  if (!windowShown(kImageWindow)) return photo;
  return photoWindow->fitSize(photo);
}

void openPhotoWindow(const cv::Size& photo) {
  if (!photoWindow || photoWindow->isVisible()) return;
  photoWindow->show();
  layoutWindows(photo);
}

void setBusy(bool busy) {
  if (busy) {
    QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
  } else {
    QApplication::restoreOverrideCursor();
  }
}

std::string describeStageRun(const std::string& label, int position, double milliseconds) {
  return label + " " + std::to_string(position) + " - " +
         std::to_string(static_cast<long>(std::lround(milliseconds))) + " ms";
}

void showStatusLine(const std::string& text) {
  if (photoWindow) photoWindow->showStatus(QString::fromStdString(text));
}
