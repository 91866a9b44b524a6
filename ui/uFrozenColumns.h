// The first columns of the configuration grid (No., NAD, IP) kept in view
// while the grid scrolls sideways: a second view over the same model,
// showing only those columns, laid over the grid's left edge. It scrolls
// up and down with the grid, takes its column widths and row heights, and
// hands its presses to the grid's own selection (its check boxes it
// serves itself). A cell the keyboard moves to is scrolled out from under
// it.
#pragma once

#include <QObject>
#include <QTableView>

namespace tavex {

class TConfigGridView;

class TFrozenColumns : public QObject {
  Q_OBJECT

 public:
  static constexpr int kFrozen = 3;

  // Lays the frozen view over Grid; it lives as long as Grid. Call after
  // the grid has its model.
  explicit TFrozenColumns(TConfigGridView* Grid);

  QTableView* View() const { return View_; }
  // The frozen columns' width together, in pixels.
  int Width() const;
  // Follows a model reset (new columns) and the grid's size.
  void Update();

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  // A point of the frozen view's viewport in the grid's viewport.
  QPoint ToGrid(const QPoint& Point) const;
  void KeepCurrentInView();

  TConfigGridView* Grid_;
  QTableView* View_;
};

}  // namespace tavex
