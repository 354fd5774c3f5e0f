// The photo window, offscreen: at fit it paints the session's picture sample for sample and Zoom
// x1 the full image's own; keys end the run but its shortcuts do not, Save and close does; Copy
// copies the full image; a resize asks for a picture of the new fit size.
#include <gtest/gtest.h>

#include <QAbstractScrollArea>
#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QtTest/QTest>
#include <vector>

#include "tests/test_images.hpp"
#include "ui/photo_window.hpp"

namespace {

cv::Mat samples(QImage image) {
  image = image.convertToFormat(QImage::Format_BGR888);
  return cv::Mat(image.height(), image.width(), CV_8UC3, image.bits(), image.bytesPerLine())
      .clone();
}

cv::Mat shownBy(QAbstractScrollArea* view) {
  QApplication::processEvents();
  return samples(view->viewport()->grab().toImage());
}

}  // namespace

TEST(PhotoWindow, ShowsTheGivenSamplesAndEndsOnKeysButNotOnItsShortcuts) {
  static int argc = 1;
  static char name[] = "lumivet-tests";
  static char* argv[] = {name, nullptr};
  if (!QApplication::instance()) new QApplication(argc, argv);  // lives as long as the process
  PhotoWindow window;
  int ends = 0;
  std::vector<cv::Size> asked;
  window.setEndHandler([&] { ++ends; });
  window.setFitSizeHandler([&](cv::Size size) { asked.push_back(size); });
  window.resize(640, 480);
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  auto* view = window.findChild<QAbstractScrollArea*>();
  ASSERT_TRUE(view);

  // Random samples at the fit size: a window that scaled the full image itself, or scaled the
  // picture again, would not show them.
  const cv::Mat full = makePhoto(900, 1200);
  const cv::Size fit = window.fitSize(full.size());
  ASSERT_LT(fit.width, full.cols);
  const cv::Mat picture = makeRandom(fit.height, fit.width);
  window.setPicture(picture, full);
  cv::Mat shown = shownBy(view);
  const cv::Rect centred((shown.cols - fit.width) / 2, (shown.rows - fit.height) / 2, fit.width,
                         fit.height);
  EXPECT_EQ(countDifferences(shown(centred), picture), 0);

  QTest::keyClick(view, Qt::Key_0, Qt::ControlModifier);  // Zoom x1
  shown = shownBy(view);
  const cv::Rect visible(view->horizontalScrollBar()->value(), view->verticalScrollBar()->value(),
                         shown.cols, shown.rows);
  ASSERT_GT(visible.x, 0);  // scrolled to the middle
  EXPECT_EQ(countDifferences(shown, full(visible)), 0);

  for (const Qt::Key key : {Qt::Key_Plus, Qt::Key_Equal, Qt::Key_Minus, Qt::Key_C})
    QTest::keyClick(view, key, Qt::ControlModifier);
  for (const Qt::Key key : {Qt::Key_Shift, Qt::Key_Control, Qt::Key_AltGr, Qt::Key_CapsLock})
    QTest::sendKeyEvent(QTest::Click, view, key, QString(), Qt::NoModifier);
  EXPECT_EQ(ends, 0);
  const cv::Mat copied = samples(QApplication::clipboard()->image());
  ASSERT_EQ(copied.size(), full.size());
  EXPECT_EQ(countDifferences(copied, full), 0);
  QTest::keyClick(view, Qt::Key_A);
  EXPECT_EQ(ends, 1);
  QTest::keyClick(view, Qt::Key_S, Qt::ControlModifier);
  EXPECT_EQ(ends, 2);

  window.resize(900, 700);
  for (int i = 0; i < 100 && asked.empty(); ++i) QTest::qWait(10);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], window.fitSize(full.size()));
  EXPECT_GT(asked[0].width, fit.width);
}
