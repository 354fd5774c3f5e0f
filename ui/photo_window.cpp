// The photo window: a scroll area that paints the fit picture as it is, or the visible part of the
// full-resolution photo when zoomed, inside a main window with the zoom, save and copy actions.
#include "ui/photo_window.hpp"

#include <X11/keysym.h>

#include <QAbstractScrollArea>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <vector>

#include "ui/display.hpp"

namespace {

// Zoom levels above fit: whole multiples, so that every sample of the photo becomes a square of
// whole screen pixels.
constexpr std::array<double, 10> kZoomLevels = {1, 2, 3, 4, 6, 8, 12, 16, 24, 32};
// A resize has settled when the size has held this long. Each new fit picture of a large photo
// takes a while to make, so dragging a window edge asks for one only at the end.
constexpr int kSettleMs = 150;

QImage wrap(const cv::Mat& image) {
  return QImage(image.data, image.cols, image.rows, static_cast<int>(image.step),
                QImage::Format_BGR888);
}

}  // namespace

bool isModifierKey(int keysym) {
  return (keysym >= XK_Shift_L && keysym <= XK_Hyper_R) ||
         (keysym >= XK_ISO_Lock && keysym <= XK_ISO_Level5_Lock) || keysym == XK_Mode_switch ||
         keysym == XK_Num_Lock;
}

class PhotoView : public QAbstractScrollArea {
 public:
  explicit PhotoView(QWidget* parent) : QAbstractScrollArea(parent) {
    setFrameShape(QFrame::NoFrame);
    settle_.setSingleShot(true);
    settle_.setInterval(kSettleMs);
    QObject::connect(&settle_, &QTimer::timeout, [this] {
      const cv::Size size = fitSize(photo_);
      if (!fit_.empty() && fit_.size() != size && fitSizeChanged) fitSizeChanged(size);
    });
  }

  void setPicture(const cv::Mat& fit, const cv::Mat& full) {
    fit_ = fit;
    fullShown_ = !full.empty();
    if (fullShown_) full_ = full;
    if (fit.empty()) full_.release();
    photo_ = full_.empty() ? fit.size() : full_.size();
    updateScrollBars();
    checkFit();
    viewport()->update();
  }
  const cv::Mat& photo() const { return full_; }

  cv::Size fitSize(const cv::Size& photo) const {
    if (photo.area() <= 0) return photo;
    const QSize area = viewSize();
    const double scale =
        std::min({1.0, double(area.width()) / photo.width, double(area.height()) / photo.height});
    return cv::Size(std::max(1, int(std::lround(photo.width * scale))),
                    std::max(1, int(std::lround(photo.height * scale))));
  }
  QSize viewSize() const { return maximumViewportSize(); }

  void zoomIn() {
    const double scale = currentScale();
    for (const double level : kZoomLevels) {
      if (level > scale * 1.001) return zoomTo(level);
    }
  }
  void zoomOut() {
    if (zoom_ == 0) return;
    const double fit = fitScale();
    for (auto level = kZoomLevels.rbegin(); level != kZoomLevels.rend(); ++level) {
      if (*level < zoom_ / 1.001 && *level > fit * 1.001) return zoomTo(*level);
    }
    zoomTo(0);
  }
  // To `zoom` screen pixels per sample, or to fit at 0; the point at the view's centre stays.
  void zoomTo(double zoom) {
    if (photo_.area() <= 0) return;
    const QPoint origin = canvasOrigin();
    const double scale = currentScale();
    const double x = (viewport()->width() / 2.0 - origin.x()) / scale;
    const double y = (viewport()->height() / 2.0 - origin.y()) / scale;
    zoom_ = zoom;
    updateScrollBars();
    horizontalScrollBar()->setValue(int(std::lround(x * zoom_ - viewport()->width() / 2.0)));
    verticalScrollBar()->setValue(int(std::lround(y * zoom_ - viewport()->height() / 2.0)));
    viewport()->update();
  }

  std::function<void(cv::Size)> fitSizeChanged;

 protected:
  void paintEvent(QPaintEvent* event) override {
    QPainter painter(viewport());
    painter.fillRect(event->rect(), palette().dark());
    if (fit_.empty()) return;
    const cv::Size size = canvasSize();
    const QRect canvas(canvasOrigin(), QSize(size.width, size.height));
    if (zoom_ == 0 && fit_.size() == size) {
      painter.drawImage(canvas.topLeft(), wrap(fit_));
    } else if (zoom_ > 0 && fullShown_) {
      paintSamples(painter, canvas, canvas & event->rect());
    } else {
      painter.setRenderHint(QPainter::SmoothPixmapTransform);
      painter.drawImage(canvas, wrap(fit_));
    }
  }

  void resizeEvent(QResizeEvent* event) override {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
    checkFit();
  }

  void scrollContentsBy(int, int) override { viewport()->update(); }

  void mousePressEvent(QMouseEvent* event) override {
    if (event->button() != Qt::LeftButton || zoom_ == 0)
      return QAbstractScrollArea::mousePressEvent(event);
    dragging_ = true;
    dragFrom_ = event->pos();
    viewport()->setCursor(Qt::ClosedHandCursor);
  }
  void mouseMoveEvent(QMouseEvent* event) override {
    if (!dragging_) return QAbstractScrollArea::mouseMoveEvent(event);
    const QPoint moved = event->pos() - dragFrom_;
    dragFrom_ = event->pos();
    horizontalScrollBar()->setValue(horizontalScrollBar()->value() - moved.x());
    verticalScrollBar()->setValue(verticalScrollBar()->value() - moved.y());
  }
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (!dragging_ || event->button() != Qt::LeftButton)
      return QAbstractScrollArea::mouseReleaseEvent(event);
    dragging_ = false;
    viewport()->unsetCursor();
  }

  // Keys belong to the window: its shortcuts, and any other key ends the run. Tab included.
  void keyPressEvent(QKeyEvent* event) override { event->ignore(); }
  bool focusNextPrevChild(bool) override { return false; }

 private:
  double fitScale() const {
    return photo_.width > 0 ? double(fitSize(photo_).width) / photo_.width : 1.0;
  }
  double currentScale() const { return zoom_ > 0 ? zoom_ : fitScale(); }
  cv::Size canvasSize() const {
    if (zoom_ == 0) return fitSize(photo_);
    return cv::Size(int(std::lround(photo_.width * zoom_)),
                    int(std::lround(photo_.height * zoom_)));
  }
  // Where the canvas's top left corner is in the view: centred in a direction where it is
  // smaller than the view, else scrolled.
  QPoint canvasOrigin() const {
    const cv::Size canvas = canvasSize();
    const QSize view = viewport()->size();
    return QPoint(canvas.width < view.width() ? (view.width() - canvas.width) / 2
                                              : -horizontalScrollBar()->value(),
                  canvas.height < view.height() ? (view.height() - canvas.height) / 2
                                                : -verticalScrollBar()->value());
  }

  // Paints `area` of `canvas` with the full image's samples, each pixel the sample under it.
  // Only the visible samples are read, however large the photo.
  void paintSamples(QPainter& painter, const QRect& canvas, const QRect& area) const {
    if (area.isEmpty()) return;
    QImage out(area.size(), QImage::Format_RGB32);
    std::vector<int> columns(area.width());
    for (int x = 0; x < area.width(); ++x) {
      columns[x] = std::min(full_.cols - 1, int((area.left() + x - canvas.left()) / zoom_));
    }
    for (int y = 0; y < area.height(); ++y) {
      const int row = std::min(full_.rows - 1, int((area.top() + y - canvas.top()) / zoom_));
      const cv::Vec3b* samples = full_.ptr<cv::Vec3b>(row);
      auto* pixels = reinterpret_cast<QRgb*>(out.scanLine(y));
      for (int x = 0; x < area.width(); ++x) {
        const cv::Vec3b& bgr = samples[columns[x]];
        pixels[x] = qRgb(bgr[2], bgr[1], bgr[0]);
      }
    }
    painter.drawImage(area.topLeft(), out);
  }

  void updateScrollBars() {
    const cv::Size canvas = zoom_ > 0 ? canvasSize() : cv::Size();
    const QSize view = viewport()->size();
    horizontalScrollBar()->setRange(0, std::max(0, canvas.width - view.width()));
    horizontalScrollBar()->setPageStep(view.width());
    horizontalScrollBar()->setSingleStep(std::max(1, view.width() / 20));
    verticalScrollBar()->setRange(0, std::max(0, canvas.height - view.height()));
    verticalScrollBar()->setPageStep(view.height());
    verticalScrollBar()->setSingleStep(std::max(1, view.height() / 20));
  }

  // A picture made for another size is scaled meanwhile; the session hears of the new size once
  // the resize has settled.
  void checkFit() {
    if (!fit_.empty() && fit_.size() != fitSize(photo_)) settle_.start();
  }

  cv::Mat fit_, full_;
  bool fullShown_ = false;  // the picture came with full_: zoomed views draw its samples
  cv::Size photo_;
  double zoom_ = 0;  // screen pixels per sample; 0 at fit
  bool dragging_ = false;
  QPoint dragFrom_;
  QTimer settle_;
};

PhotoWindow::PhotoWindow() : view_(new PhotoView(this)) {
  setWindowTitle(kImageWindow);
  setCentralWidget(view_);
  setContextMenuPolicy(Qt::NoContextMenu);
  QToolBar* toolbar = addToolBar("Photo");
  toolbar->setMovable(false);
  toolbar->setToolButtonStyle(Qt::ToolButtonTextOnly);
  const auto add = [&](const QString& text, const QString& tip, const QList<QKeySequence>& keys,
                       const std::function<void()>& triggered) {
    QAction* action = toolbar->addAction(text);
    action->setShortcuts(keys);
    action->setToolTip(
        keys.isEmpty() ? tip : tip + " (" + keys.first().toString(QKeySequence::NativeText) + ")");
    QObject::connect(action, &QAction::triggered, this, triggered);
  };
  add("Zoom in", "Zoom in", {Qt::CTRL | Qt::Key_Plus, Qt::CTRL | Qt::Key_Equal},
      [this] { view_->zoomIn(); });
  add("Zoom out", "Zoom out", {Qt::CTRL | Qt::Key_Minus}, [this] { view_->zoomOut(); });
  add("Zoom x1", "Zoom x1: one screen pixel per sample", {Qt::CTRL | Qt::Key_0},
      [this] { view_->zoomTo(1); });
  add("Fit to window", "Fit to window", {}, [this] { view_->zoomTo(0); });
  add("Save and close", "Save and close", {Qt::CTRL | Qt::Key_S}, [this] { end(); });
  add("Copy", "Copy image to clipboard", {Qt::CTRL | Qt::Key_C}, [this] { copyPhoto(); });
  statusBar();  // there from the start, so that the view's size does not change with it
  view_->setFocus();
}

void PhotoWindow::setPicture(const cv::Mat& fit, const cv::Mat& full) {
  view_->setPicture(fit, full);
}

const cv::Mat& PhotoWindow::photo() const {
  return view_->photo();
}

cv::Size PhotoWindow::fitSize(const cv::Size& photo) const {
  return view_->fitSize(photo);
}

QSize PhotoWindow::viewSize() const {
  return view_->viewSize();
}

void PhotoWindow::showStatus(const QString& text) {
  statusBar()->showMessage(text);
}

void PhotoWindow::setEndHandler(std::function<void()> handler) {
  endHandler_ = std::move(handler);
}

void PhotoWindow::setFitSizeHandler(std::function<void(cv::Size)> handler) {
  view_->fitSizeChanged = std::move(handler);
}

void PhotoWindow::keyPressEvent(QKeyEvent* event) {
  // On X the keysym tells the modifiers apart; elsewhere Qt's key has to do.
  static constexpr int kModifiers[] = {Qt::Key_Shift,   Qt::Key_Control, Qt::Key_Meta,
                                       Qt::Key_Alt,     Qt::Key_AltGr,   Qt::Key_CapsLock,
                                       Qt::Key_NumLock, Qt::Key_Super_L, Qt::Key_Super_R,
                                       Qt::Key_Hyper_L, Qt::Key_Hyper_R, Qt::Key_Mode_switch};
  const bool modifier =
      isModifierKey(static_cast<int>(event->nativeVirtualKey())) ||
      std::find(std::begin(kModifiers), std::end(kModifiers), event->key()) != std::end(kModifiers);
  if (!modifier) end();
}

bool PhotoWindow::focusNextPrevChild(bool) {
  return false;
}

void PhotoWindow::copyPhoto() const {
  const cv::Mat& photo = view_->photo();
  if (photo.empty()) return;
  QApplication::clipboard()->setImage(wrap(photo).convertToFormat(QImage::Format_RGB888));
}

void PhotoWindow::end() const {
  if (endHandler_) endHandler_();
}
