// The application object of the desktop tool. Every handler runs inside an
// event; an exception that leaves one ends that handler only and is shown
// in a modal error box titled "Tavex Config Tool".
#pragma once

#include <QApplication>
#include <QString>
#include <QUrl>

#include <functional>

namespace tavex {

inline constexpr char kApplicationTitle[] = "Tavex Config Tool";

class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);

  bool notify(QObject* Receiver, QEvent* Event) override;

  // Shows an error text. Empty: the modal error box. Tests put their own
  // here so that no box waits for a click.
  static std::function<void(const QString& Text)> ErrorDisplay;
  // The error display in use (the hook, or the box). The box is a child of
  // the main window, so that it opens over it; without one, of no window.
  static void ShowError(const QString& Text);
  // Answers a question: true for Yes. Empty: the modal question box with
  // Yes and No (No the default, so that Enter loses nothing). Tests put
  // their own here to answer it.
  static std::function<bool(const QString& Text)> QuestionDisplay;
  // The question display in use (the hook, or the box, over the main window).
  static bool Ask(const QString& Text);
  // The window the error box belongs to; it may go away at any time.
  static void SetMainWindow(QWidget* Window);
  // Runs a handler and shows what it throws. Handlers are called through
  // this, so that an exception never unwinds through the toolkit's own code
  // (notify is the last resort).
  static void RunHandler(const std::function<void()>& Handler);

  // Opens a URL (a report written to a file) with the desktop's browser.
  // Empty: the desktop's own way (QDesktopServices). Tests put their own
  // here, so that nothing is launched.
  static std::function<bool(const QUrl& Url)> UrlOpener;
  // Through the hook, or the desktop; false when nothing could open it.
  static bool OpenUrl(const QUrl& Url);
};

}  // namespace tavex
