// The three windows as a user sees them, saved under the build tree for
// review, and checked for texts their controls cut off.
#include <QAbstractButton>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QRegularExpression>
#include <QTreeWidget>

#include "ui/GuiFixture.h"
#include "base/Cp1251.h"

namespace {

// Every label, button and group title that needs more room than it has.
QStringList CutTexts(QWidget* window) {
  QStringList cut;
  for (QLabel* l : window->findChildren<QLabel*>())
    if (!l->text().isEmpty() && l->fontMetrics().horizontalAdvance(l->text()) > l->contentsRect().width())
      cut << l->text();
  for (QAbstractButton* b : window->findChildren<QAbstractButton*>())
    if (!b->text().isEmpty() && b->sizeHint().width() > b->width()) cut << b->text();
  for (QGroupBox* g : window->findChildren<QGroupBox*>())
    if (!g->title().isEmpty() && g->fontMetrics().horizontalAdvance(g->title()) + 16 > g->width()) cut << g->title();
  // The program's own controls lie wholly inside their parents.
  static const QRegularExpression own("^(s[A-Z]|G[12]$|Label|PngSpeedButton|TimecodeText|StreamParametersText|ListView1|SeekSlider)");
  for (QWidget* c : window->findChildren<QWidget*>())
    if (own.match(c->objectName()).hasMatch() && c->parentWidget() && !c->parentWidget()->rect().contains(c->geometry()))
      cut << c->objectName() + " outside its parent";
  return cut;
}

} // namespace

TEST_F(WindowsTest, WindowsAreSavedInTheirSizesWithNoTextCutOff) {
  WriteSettings();
  WriteList({{"Europa_Plus__Moscow_", "358"}, {text::Utf8ToCp1251("Радио_Маяк"), "357"}, {"Classic_Radio", "362"}});
  TProgramWindows& w = Start();
  w.Form1.findChild<QTreeWidget*>("ListView1")->topLevelItem(1)->setCheckState(0, Qt::Checked);
  w.Form2.show();
  w.Form3.show();
  QDir().mkpath(MC_SCREENSHOT_DIR);
  const struct {
    QWidget* window;
    const char* file;
    QSize size;
  } shots[] = {{&w.Form1, "Form1.png", {421, 297}}, {&w.Form2, "Form2.png", {536, 395}}, {&w.Form3, "Form3.png", {326, 261}}};
  for (const auto& s : shots) {
    const QPixmap picture = s.window->grab();
    EXPECT_EQ(picture.size(), s.size) << s.file;
    EXPECT_TRUE(picture.save(QString(MC_SCREENSHOT_DIR) + "/" + s.file)) << s.file;
    EXPECT_TRUE(CutTexts(s.window).isEmpty()) << s.file << ": " << CutTexts(s.window).join(" | ").toStdString();
  }
}
