// File dialogs, message boxes and console silencing through Qt.
#include "ui/desktop.hpp"

#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QStringList>
#include <cstdlib>
#include <iostream>
#include <opencv2/core/utils/logger.hpp>

namespace {

// Qt's own notes stay off the console. A fatal one (no display to connect to, say) would end the
// process with an abort; the user gets its reason and a plain failure status instead.
void filterQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type != QtFatalMsg) return;
  std::cerr << "lumivet-tool: " << message.section('\n', 0, 0).toStdString() << std::endl;
  std::_Exit(1);
}

QString fromPath(const std::string& path) {
  return QFile::decodeName(path.c_str());
}

std::string toPath(const QString& path) {
  return path.isEmpty() ? std::string() : QFile::encodeName(path).toStdString();
}

// A glob pattern that matches an extension in any letter case: "jpg" gives "*.[jJ][pP][gG]".
QString anyCasePattern(const QString& extension) {
  QString pattern = "*.";
  for (QChar c : extension) {
    if (c.isLetter())
      pattern += QString("[%1%2]").arg(c.toLower()).arg(c.toUpper());
    else
      pattern += c;
  }
  return pattern;
}

}  // namespace

void silenceConsole() {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  qInstallMessageHandler(filterQtMessage);
}

std::string imageFormatsFilter() {
  // The library's formats, then phone and camera formats: HEIF, AVIF, JPEG XL, DNG and the
  // makers' raw files.
  static const char* const kExtensions[] = {
      "bmp", "dib", "pbm",  "pgm", "ppm", "pnm",  "pmm",  "sr",   "ras",  "jpg", "jpeg",
      "jpe", "jp2", "tiff", "tif", "png", "webp", "heic", "heif", "avif", "jxl", "dng",
      "cr2", "cr3", "crw",  "nef", "arw", "orf",  "rw2",  "raf",  "pef",  "srw"};
  QStringList patterns;
  for (const char* extension : kExtensions) patterns << anyCasePattern(extension);
  return ("Image Formats (" + patterns.join(' ') + ")").toStdString();
}

std::string chooseImageFile() {
  QFileDialog dialog(nullptr, "Open image");
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  // The case-free patterns are unreadable; the entries show their names only.
  dialog.setOption(QFileDialog::HideNameFilterDetails, true);
  dialog.setNameFilters({QString::fromStdString(imageFormatsFilter()), "All (*)"});
  dialog.selectNameFilter(dialog.nameFilters().first());
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return toPath(dialog.selectedFiles().first());
}

std::string writableFolderFor(const std::string& inputPath) {
  const QString input = QFileInfo(fromPath(inputPath)).absolutePath();
  const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
  for (const QString& folder : {input, pictures}) {
    if (!folder.isEmpty() && QFileInfo(folder).isDir() &&
        ::access(toPath(folder).c_str(), W_OK) == 0)
      return toPath(folder);
  }
  return toPath(QDir::homePath());
}

std::string chooseSavePath(const std::string& failedPath, const std::string& inputPath) {
  const QString name = QFileInfo(fromPath(failedPath)).fileName();
  QFileDialog dialog(nullptr, "Save result as");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setNameFilter("JPEG (*.jpg *.jpeg)");
  dialog.setDefaultSuffix("jpg");  // the file holds a JPEG whatever name is typed
  dialog.setDirectory(fromPath(writableFolderFor(inputPath)));
  dialog.selectFile(name);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return toPath(dialog.selectedFiles().first());
}

RestoreAnswer askRestore(const std::string& question) {
  QMessageBox box(QMessageBox::Question, "Unsaved edit", QString::fromStdString(question));
  QPushButton* restore = box.addButton("Restore", QMessageBox::AcceptRole);
  QPushButton* discard = box.addButton("Discard", QMessageBox::DestructiveRole);
  box.setDefaultButton(restore);
  box.exec();
  if (box.clickedButton() == restore) return RestoreAnswer::kRestore;
  return box.clickedButton() == discard ? RestoreAnswer::kDiscard : RestoreAnswer::kNone;
}

void showError(const std::string& title, const std::string& message) {
  std::cerr << "lumivet-tool: " << message << '\n';
  QMessageBox box(QMessageBox::Critical, QString::fromStdString(title),
                  QString::fromStdString(message), QMessageBox::Ok);
  box.exec();
}
