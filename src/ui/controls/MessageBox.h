#pragma once
// What the three windows share: the one way a message reaches the user, and
// the fonts that stand in for the Windows ones.
#include <QFont>
#include <QString>
#include <functional>
#include <memory>
#include <string>

class QWidget;

// A plain message box with one OK button. Every window message goes through
// here; tests replace it so that no dialog ever waits for a click.
using TMessageFunction = std::function<void(QWidget* parent, const QString& text)>;
void ShowMessage(QWidget* parent, const QString& text);
inline void ShowMessage(QWidget* parent, const std::string& utf8) { ShowMessage(parent, QString::fromStdString(utf8)); }
// Installs a replacement; an empty function restores the message box. Returns
// the one before.
TMessageFunction SetMessageFunction(TMessageFunction f);

// "MS Sans Serif" and "Courier New" at the same point size.
QFont SansFont(int pointSize, bool bold = false);
QFont MonoFont(int pointSize, bool bold = false);

// Runs closures handed over from any thread on the thread that made it. The
// hand-over is a std::mutex and an eventfd, not a Qt event post, so the
// delivery and engine threads never wait for the window and every shared
// byte stays under a lock the race checker sees.
class TThreadHop {
 public:
  TThreadHop();
  ~TThreadHop();
  TThreadHop(const TThreadHop&) = delete;
  TThreadHop& operator=(const TThreadHop&) = delete;

  void Post(std::function<void()> f);  // any thread
  void Run();                          // the owning thread: runs what waits

 private:
  struct TState;
  std::unique_ptr<TState> state_;
};
