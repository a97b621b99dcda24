#include "ui/ProgramWindows.h"

#include <QScreen>

#include "ui/DesktopIntegration.h"

TProgramWindows::TProgramWindows(const std::string& iniFolder, TDevicePlugin& card, uint16_t port)
    : Form1(iniFolder, List, Options, card, port), Form2(iniFolder, Options, List, card), Form3(iniFolder) {
  Form2.SignalTimer = Form1.Timer1;
  Form2.ListChanged = [this] { Form1.ShowRows(); };
  Form3.MainWindow = &Form1;
  Form3.StreamPort = port;
  for (QWidget* window : {static_cast<QWidget*>(&Form1), static_cast<QWidget*>(&Form2), static_cast<QWidget*>(&Form3)})
    window->setWindowIcon(ProgramIcon());
  // Only closing the main window ends the program.
  Form2.setAttribute(Qt::WA_QuitOnClose, false);
  Form3.setAttribute(Qt::WA_QuitOnClose, false);
}

TProgramWindows::~TProgramWindows() {
  // A run still going stops (and stops playback) while all three windows exist.
  if (Form1.Run().Running()) Form1.Run().Stop();
  Form1.SetForms(nullptr, nullptr);
}

void TProgramWindows::Create() {
  Form1.FormCreate();
  Form1.SetForms(&Form2, nullptr);
  Form2.FormCreate();
  Form1.SetForms(&Form2, &Form3);
  Form3.FormCreate();
  // Without a window manager nobody places the window: it starts centred.
  if (const QScreen* screen = Form1.screen())
    Form1.move(screen->availableGeometry().center() - Form1.rect().center());
  Form1.show();
}
