#include "ui/uApplication.h"

#include <QMessageBox>

#include <exception>

namespace tavex {

std::function<void(const QString&)> TApplication::ErrorDisplay;

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(kApplicationTitle);
}

bool TApplication::notify(QObject* Receiver, QEvent* Event) {
  try {
    return QApplication::notify(Receiver, Event);
  } catch (const std::exception& e) {
    ShowError(QString::fromUtf8(e.what()));
  } catch (...) {
    ShowError(QStringLiteral("Unknown error."));
  }
  return false;
}

void TApplication::ShowError(const QString& Text) {
  if (ErrorDisplay) {
    ErrorDisplay(Text);
    return;
  }
  QMessageBox::critical(nullptr, kApplicationTitle, Text);
}

}  // namespace tavex
