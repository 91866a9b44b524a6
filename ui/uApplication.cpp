#include "ui/uApplication.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QPointer>

#include <exception>

namespace tavex {

std::function<void(const QString&)> TApplication::ErrorDisplay;
std::function<bool(const QString&)> TApplication::QuestionDisplay;
std::function<bool(const QUrl&)> TApplication::UrlOpener;

namespace {
QPointer<QWidget> gMainWindow;
}  // namespace

void TApplication::SetMainWindow(QWidget* Window) { gMainWindow = Window; }

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(kApplicationTitle);
}

namespace {
void ShowCurrentException() {
  try {
    throw;
  } catch (const std::exception& e) {
    TApplication::ShowError(QString::fromUtf8(e.what()));
  } catch (...) {
    TApplication::ShowError(QStringLiteral("Unknown error."));
  }
}
}  // namespace

bool TApplication::notify(QObject* Receiver, QEvent* Event) {
  try {
    return QApplication::notify(Receiver, Event);
  } catch (...) {
    ShowCurrentException();
  }
  return false;
}

void TApplication::RunHandler(const std::function<void()>& Handler) {
  try {
    Handler();
  } catch (...) {
    ShowCurrentException();
  }
}

void TApplication::ShowError(const QString& Text) {
  if (ErrorDisplay) {
    ErrorDisplay(Text);
    return;
  }
  QMessageBox::critical(gMainWindow.data(), kApplicationTitle, Text);
}

bool TApplication::Ask(const QString& Text) {
  if (QuestionDisplay) return QuestionDisplay(Text);
  return QMessageBox::question(gMainWindow.data(), kApplicationTitle, Text, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

bool TApplication::OpenUrl(const QUrl& Url) {
  if (UrlOpener) return UrlOpener(Url);
  return QDesktopServices::openUrl(Url);
}

}  // namespace tavex
