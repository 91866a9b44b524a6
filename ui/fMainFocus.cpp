// The main window's keyboard focus: it rests on the grid of the page
// shown, where the arrow keys, Space (the row's check box) and Enter (edit)
// work, rather than on whatever control Qt hands it to when a button is
// disabled under it.
#include "ui/fMain.h"

#include <QApplication>
#include <QTabWidget>
#include <QTableView>

namespace tavex {

void TfmMain::FocusShownGrid() {
  if (PageControl1 == nullptr) return;
  QTableView* grid = PageControl1->currentIndex() == 1 ? vstConfig : vstSystem;
  // A dialog (Edit Value, Setup, an error box) keeps its focus; with no
  // window active the grid gets it when this one is activated again.
  const QWidget* focus = QApplication::focusWidget();
  if (focus != nullptr && focus->window() != this) return;
  if (grid != nullptr && grid->isEnabled()) grid->setFocus(Qt::OtherFocusReason);
}

}  // namespace tavex
