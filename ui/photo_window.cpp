// The photo window: a scroll area that paints the fit picture as it is, or the visible part of the
// full-resolution photo when zoomed, with clipping marks over it when asked, and a histogram in its
// corner, inside a main window with the zoom, save, copy, before, histogram and clipping actions.
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
#include <QPainterPath>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <opencv2/imgproc.hpp>
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

// A picture in the screen's own pixel format (B, G, R and an unused byte, little-endian 32-bit),
// which the painter copies several times faster than three bytes per pixel; into `image`'s buffer
// when it has the size.
QImage screenImage(const cv::Mat& picture, QImage image = QImage()) {
  if (picture.empty()) return QImage();
  if (image.size() != QSize(picture.cols, picture.rows))
    image = QImage(picture.cols, picture.rows, QImage::Format_RGB32);
  cv::Mat pixels(picture.rows, picture.cols, CV_8UC4, image.bits(), image.bytesPerLine());
  cv::cvtColor(picture, pixels, cv::COLOR_BGR2BGRA);
  return image;
}

// The ClipMark bits of a sample triple.
uchar markOf(const uchar* bgr) {
  uchar mark = 0;
  for (int c = 0; c < 3; ++c) {
    if (bgr[c] == 0) mark |= kCoversBlack;
    if (bgr[c] == 255) mark |= kCoversWhite;
  }
  return mark;
}

// The ClipMark bits of every pixel of a picture, from its own samples.
cv::Mat marksOf(const cv::Mat& picture) {
  cv::Mat marks(picture.size(), CV_8U);
  for (int y = 0; y < picture.rows; ++y) {
    const uchar* p = picture.ptr<uchar>(y);
    for (int x = 0; x < picture.cols; ++x) marks.at<uchar>(y, x) = markOf(p + 3 * x);
  }
  return marks;
}

// A marked pixel is painted in diagonal stripes of two colours that no pixel it marks can have: a
// pixel over a sample at 255 has no channel at 0 unless it covers both, and is striped red and
// black; one over a sample at 0 only has no channel at 255, and is striped blue and white.
QRgb markColour(uchar mark, int x, int y) {
  const bool stripe = ((x + y) / 3) % 2 != 0;
  if (mark & kCoversWhite) return stripe ? qRgb(0, 0, 0) : qRgb(255, 0, 0);
  return stripe ? qRgb(255, 255, 255) : qRgb(0, 0, 255);
}

// The toolbar's icon `name` from the desktop's icon theme, its symbolic variant, or the tool's own.
QIcon themedIcon(const QString& name) {
  QIcon icon = QIcon::fromTheme(name);
  if (icon.isNull()) icon = QIcon::fromTheme(name + "-symbolic");
  if (icon.isNull()) icon = QIcon(":/icons/" + name + ".svg");
  return icon;
}

// The share of samples at one level, never shown as 0 when there is one.
QString share(uint64_t count, uint64_t total) {
  if (count == 0 || total == 0) return "0%";
  const double percent = 100.0 * double(count) / double(total);
  return percent < 0.1 ? "<0.1%" : QString::number(percent, 'f', 1) + "%";
}

}  // namespace

bool isModifierKey(int keysym) {
  return (keysym >= XK_Shift_L && keysym <= XK_Hyper_R) ||
         (keysym >= XK_ISO_Lock && keysym <= XK_ISO_Level5_Lock) || keysym == XK_Mode_switch ||
         keysym == XK_Num_Lock;
}

// The histogram of what the window shows, per channel, at the toolbar's end, with the share of
// samples at 0 and at 255 beside it. Hidden, it keeps its room, so that the view keeps its size.
class HistogramView : public QWidget {
 public:
  explicit HistogramView(QWidget* parent) : QWidget(parent) {
    setFixedSize(kGraphWidth + kTextWidth + 3 * kMargin, kGraphHeight + 2 * kMargin);
  }

  void setHistogram(const Histogram& histogram) {
    histogram_ = histogram;
    update();
  }
  void setShown(bool shown) {
    shown_ = shown;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    const uint64_t samples = histogram_.samples();
    if (!shown_) return;
    QPainter painter(this);
    const QRect graph(kMargin, kMargin, kGraphWidth, kGraphHeight);
    painter.fillRect(graph, QColor(24, 24, 24));
    if (samples == 0) return;
    // The tallest level between the ends sets the scale; piles at 0 and 255 are cut off there
    // and told in figures.
    uint64_t tallest = 1;
    for (const auto& channel : histogram_.counts)
      tallest = std::max(tallest, *std::max_element(channel.begin() + 1, channel.end() - 1));
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setCompositionMode(QPainter::CompositionMode_Plus);
    const QColor colours[3] = {QColor(40, 80, 255), QColor(40, 200, 40), QColor(230, 40, 40)};
    for (int c = 0; c < 3; ++c) {
      QPainterPath path(QPointF(graph.left(), graph.bottom() + 1));
      for (int v = 0; v < 256; ++v) {
        const double height =
            kGraphHeight * std::min(1.0, double(histogram_.counts[c][v]) / double(tallest));
        path.lineTo(graph.left() + v + 0.5, graph.bottom() + 1 - height);
      }
      path.lineTo(graph.right() + 1, graph.bottom() + 1);
      path.closeSubpath();
      painter.fillPath(path, colours[c]);
    }
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    uint64_t black = 0, white = 0;
    for (const auto& channel : histogram_.counts) {
      black += channel[0];
      white += channel[255];
    }
    const QRect text(graph.right() + 1 + kMargin, kMargin, kTextWidth, kGraphHeight);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
                     "at 0: " + share(black, samples) + "\nat 255: " + share(white, samples));
  }

 private:
  static constexpr int kGraphWidth = 256, kGraphHeight = 36, kTextWidth = 96, kMargin = 3;
  Histogram histogram_;
  bool shown_ = true;
};

class PhotoView : public QAbstractScrollArea {
  // A picture as the window shows it; fullShown: it came with `full`, whose samples zoomed views
  // draw.
  struct Shown {
    cv::Mat fit, full, marks;
    bool fullShown = false;
    QImage screen;  // fit, as painted
  };

 public:
  explicit PhotoView(QWidget* parent) : QAbstractScrollArea(parent) {
    setFrameShape(QFrame::NoFrame);
    settle_.setSingleShot(true);
    settle_.setInterval(kSettleMs);
    QObject::connect(&settle_, &QTimer::timeout, [this] {
      const cv::Size size = fitSize(photo_);
      if (!result_.fit.empty() && result_.fit.size() != size && fitSizeChanged)
        fitSizeChanged(size);
    });
  }

  void setPicture(const cv::Mat& fit, const cv::Mat& full, const cv::Mat& marks) {
    result_.fit = fit;
    result_.screen = screenImage(fit, std::move(result_.screen));
    result_.marks = marks;
    result_.fullShown = !full.empty();
    if (result_.fullShown) result_.full = full;
    if (fit.empty()) result_.full.release();
    photo_ = result_.full.empty() ? fit.size() : result_.full.size();
    changed();
  }
  void setOriginal(const cv::Mat& fit, const cv::Mat& full, const cv::Mat& marks) {
    original_ = Shown{fit, full, marks, !full.empty(), screenImage(fit)};
    if (before_) changed();
  }
  const cv::Mat& photo() const { return result_.full; }

  // While "Before" is held, the photo as opened is shown in its place.
  void setBefore(bool before) {
    before_ = before;
    changed();
  }
  void setClipping(bool clipping) {
    clipping_ = clipping;
    viewport()->update();
  }

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
    const Shown& shown = this->shown();
    if (shown.fit.empty()) return;
    const cv::Size size = canvasSize();
    const QRect canvas(canvasOrigin(), QSize(size.width, size.height));
    if (zoom_ > 0 && shown.fullShown) {
      paintSamples(painter, shown.full, canvas, canvas & event->rect());
      return;
    }
    const bool fits = zoom_ == 0 && shown.fit.size() == size;
    if (fits) {
      painter.drawImage(canvas.topLeft(), shown.screen);
    } else {
      painter.setRenderHint(QPainter::SmoothPixmapTransform);
      painter.drawImage(canvas, shown.screen);
      painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    }
    if (clipping_) painter.drawImage(canvas, marksOverlay(shown));
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

  // Paints `area` of `canvas` with the full image's samples, each pixel the sample under it, or
  // its clipping mark. Only the visible samples are read, however large the photo.
  void paintSamples(QPainter& painter, const cv::Mat& full, const QRect& canvas,
                    const QRect& area) const {
    if (area.isEmpty()) return;
    QImage out(area.size(), QImage::Format_RGB32);
    std::vector<int> columns(area.width());
    for (int x = 0; x < area.width(); ++x) {
      columns[x] = std::min(full.cols - 1, int((area.left() + x - canvas.left()) / zoom_));
    }
    for (int y = 0; y < area.height(); ++y) {
      const int row = std::min(full.rows - 1, int((area.top() + y - canvas.top()) / zoom_));
      const cv::Vec3b* samples = full.ptr<cv::Vec3b>(row);
      auto* pixels = reinterpret_cast<QRgb*>(out.scanLine(y));
      for (int x = 0; x < area.width(); ++x) {
        const cv::Vec3b& bgr = samples[columns[x]];
        const uchar mark = clipping_ ? markOf(bgr.val) : 0;
        pixels[x] =
            mark ? markColour(mark, area.left() + x, area.top() + y) : qRgb(bgr[2], bgr[1], bgr[0]);
      }
    }
    painter.drawImage(area.topLeft(), out);
  }

  // The clipping marks of a fit picture, transparent where there are none, made once per picture.
  const QImage& marksOverlay(const Shown& shown) {
    if (overlayOf_ == shown.fit.data && !overlay_.isNull()) return overlay_;
    overlayOf_ = shown.fit.data;
    const cv::Mat marks = shown.marks.empty() ? marksOf(shown.fit) : shown.marks;
    overlay_ = QImage(marks.cols, marks.rows, QImage::Format_ARGB32);
    for (int y = 0; y < marks.rows; ++y) {
      auto* pixels = reinterpret_cast<QRgb*>(overlay_.scanLine(y));
      const uchar* mark = marks.ptr<uchar>(y);
      for (int x = 0; x < marks.cols; ++x) pixels[x] = mark[x] ? markColour(mark[x], x, y) : 0;
    }
    return overlay_;
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
    if (!result_.fit.empty() && result_.fit.size() != fitSize(photo_)) settle_.start();
  }

  void changed() {
    overlay_ = QImage();
    updateScrollBars();
    checkFit();
    viewport()->update();
  }

  const Shown& shown() const { return before_ && !original_.fit.empty() ? original_ : result_; }

  Shown result_, original_;
  bool before_ = false;
  bool clipping_ = false;
  QImage overlay_;
  const uchar* overlayOf_ = nullptr;
  cv::Size photo_;
  double zoom_ = 0;  // screen pixels per sample; 0 at fit
  bool dragging_ = false;
  QPoint dragFrom_;
  QTimer settle_;
};

// The fallback icons and the tool's own, compiled in (share/icons.qrc).
static void loadIcons() {
  Q_INIT_RESOURCE(icons);
}

PhotoWindow::PhotoWindow() : view_(new PhotoView(this)), histogram_(new HistogramView(this)) {
  loadIcons();
  QApplication::setWindowIcon(QIcon::fromTheme("lumivet-tool", QIcon(":/icons/lumivet-tool.svg")));
  setWindowTitle(kImageWindow);
  setCentralWidget(view_);
  setContextMenuPolicy(Qt::NoContextMenu);
  QToolBar* toolbar = addToolBar("Photo");
  toolbar->setMovable(false);
  toolbar->setToolButtonStyle(Qt::ToolButtonIconOnly);
  const auto add = [&](const QString& icon, const QString& text, const QString& tip,
                       const QList<QKeySequence>& keys) {
    QAction* action = toolbar->addAction(themedIcon(icon), text);
    action->setShortcuts(keys);
    action->setToolTip(
        keys.isEmpty() ? tip : tip + " (" + keys.first().toString(QKeySequence::NativeText) + ")");
    return action;
  };
  const auto onTrigger = [this](QAction* action, const std::function<void()>& triggered) {
    QObject::connect(action, &QAction::triggered, this, triggered);
  };
  onTrigger(
      add("zoom-in", "Zoom in", "Zoom in", {Qt::CTRL | Qt::Key_Plus, Qt::CTRL | Qt::Key_Equal}),
      [this] { view_->zoomIn(); });
  onTrigger(add("zoom-out", "Zoom out", "Zoom out", {Qt::CTRL | Qt::Key_Minus}),
            [this] { view_->zoomOut(); });
  onTrigger(add("zoom-original", "Zoom x1", "Zoom x1: one screen pixel per sample",
                {Qt::CTRL | Qt::Key_0}),
            [this] { view_->zoomTo(1); });
  onTrigger(add("zoom-fit-best", "Fit to window", "Fit to window", {}),
            [this] { view_->zoomTo(0); });
  onTrigger(add("document-save", "Save and close", "Save and close", {Qt::CTRL | Qt::Key_S}),
            [this] { end(); });
  onTrigger(add("edit-copy", "Copy", "Copy image to clipboard", {Qt::CTRL | Qt::Key_C}),
            [this] { copyPhoto(); });
  toolbar->addSeparator();
  // Before acts while its button is held down, and has no key: any key ends the session.
  QAction* before = add("lumivet-before", "Before", "Before: hold to see the photo as opened", {});
  if (auto* button = qobject_cast<QToolButton*>(toolbar->widgetForAction(before))) {
    QObject::connect(button, &QToolButton::pressed, this, [this] { showBefore(true); });
    QObject::connect(button, &QToolButton::released, this, [this] { showBefore(false); });
  }
  QAction* histogram = add("lumivet-histogram", "Histogram",
                           "Histogram: the levels shown, and the share at 0 and at 255", {});
  histogram->setCheckable(true);
  histogram->setChecked(true);
  QObject::connect(histogram, &QAction::toggled, this,
                   [this](bool on) { histogram_->setShown(on); });
  QAction* clipping =
      add("lumivet-clipping", "Clipping",
          "Clipping: mark where the result has samples at 0 (blue) or at 255 (red)", {});
  clipping->setCheckable(true);
  QObject::connect(clipping, &QAction::toggled, this, [this](bool on) { view_->setClipping(on); });
  auto* room = new QWidget(toolbar);
  room->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  toolbar->addWidget(room);
  toolbar->addWidget(histogram_);
  statusBar();  // there from the start, so that the view's size does not change with it
  view_->setFocus();
}

void PhotoWindow::setPicture(const cv::Mat& fit, const cv::Mat& full, const cv::Mat& marks,
                             const Histogram& histogram) {
  view_->setPicture(fit, full, marks);
  shown_ = histogram.empty() && !fit.empty() ? histogramOf(fit) : histogram;
  updateHistogram();
}

void PhotoWindow::setOriginal(const cv::Mat& fit, const cv::Mat& full, const cv::Mat& marks,
                              const Histogram& histogram) {
  view_->setOriginal(fit, full, marks);
  original_ = histogram;
  updateHistogram();
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

const Histogram& PhotoWindow::histogram() const {
  return before_ && !original_.empty() ? original_ : shown_;
}

void PhotoWindow::showStatus(const QString& text) {
  status_ = text;
  if (!before_) statusBar()->showMessage(text);
}

void PhotoWindow::showBefore(bool before) {
  before_ = before;
  view_->setBefore(before);
  statusBar()->showMessage(before ? "Before: the photo as opened; let go for the result" : status_);
  updateHistogram();
}

void PhotoWindow::updateHistogram() {
  histogram_->setHistogram(histogram());
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
