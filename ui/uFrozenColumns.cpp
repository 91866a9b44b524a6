#include "ui/uFrozenColumns.h"

#include <QHeaderView>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTimer>

#include "ui/uCellPainter.h"
#include "ui/uGridModels.h"
#include "ui/uGridViews.h"

namespace tavex {

TFrozenColumns::TFrozenColumns(TConfigGridView* Grid) : QObject(Grid), Grid_(Grid), View_(new QTableView(Grid)) {
  View_->setObjectName(Grid->objectName() + "Frozen");
  View_->setModel(Grid->model());
  View_->setItemDelegate(new TCellPainter(View_));
  View_->setFocusPolicy(Qt::NoFocus);
  View_->setSelectionMode(QAbstractItemView::NoSelection);
  View_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  View_->verticalHeader()->hide();
  View_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  View_->verticalHeader()->setMinimumSectionSize(1);
  View_->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  View_->horizontalHeader()->setHighlightSections(false);
  View_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  View_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  View_->setShowGrid(Grid->showGrid());
  View_->setWordWrap(false);
  View_->setFrameShape(QFrame::NoFrame);
  View_->setVerticalScrollMode(Grid->verticalScrollMode());
  // The grid's contents pass under it; its scroll bars stay above.
  Grid->viewport()->stackUnder(View_);

  connect(Grid->horizontalHeader(), &QHeaderView::sectionResized, this, [this](int Column, int, int Size) {
    if (Column < kFrozen) {
      View_->setColumnWidth(Column, Size);
      Update();
    }
  });
  connect(Grid->verticalHeader(), &QHeaderView::sectionResized, this,
          [this](int Row, int, int Size) { View_->setRowHeight(Row, Size); });
  connect(Grid->verticalScrollBar(), &QAbstractSlider::valueChanged, View_->verticalScrollBar(),
          &QAbstractSlider::setValue);
  connect(View_->verticalScrollBar(), &QAbstractSlider::valueChanged, Grid->verticalScrollBar(),
          &QAbstractSlider::setValue);
  if (QAbstractItemModel* m = Grid->model()) {
    connect(m, &QAbstractItemModel::modelReset, this, &TFrozenColumns::Update);
    connect(m, &QAbstractItemModel::rowsInserted, this, &TFrozenColumns::Update);
    connect(m, &QAbstractItemModel::rowsRemoved, this, &TFrozenColumns::Update);
  }
  if (Grid->selectionModel())
    connect(Grid->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this] { QTimer::singleShot(0, this, &TFrozenColumns::KeepCurrentInView); });
  Grid->installEventFilter(this);
  View_->viewport()->installEventFilter(this);
  View_->viewport()->setMouseTracking(false);
  Update();
  View_->show();
}

int TFrozenColumns::Width() const {
  int w = 0;
  for (int c = 0; c < kFrozen && c < Grid_->horizontalHeader()->count(); ++c) w += Grid_->columnWidth(c);
  return w;
}

void TFrozenColumns::Update() {
  const int columns = View_->model() ? View_->model()->columnCount() : 0;
  for (int c = 0; c < columns; ++c) {
    View_->setColumnHidden(c, c >= kFrozen);
    if (c < kFrozen) View_->setColumnWidth(c, Grid_->columnWidth(c));
  }
  const int rows = View_->model() ? View_->model()->rowCount() : 0;
  View_->verticalHeader()->setDefaultSectionSize(Grid_->verticalHeader()->defaultSectionSize());
  for (int r = 0; r < rows; ++r)
    if (View_->rowHeight(r) != Grid_->rowHeight(r)) View_->setRowHeight(r, Grid_->rowHeight(r));
  View_->horizontalHeader()->setFixedHeight(Grid_->horizontalHeader()->height());
  const int frame = Grid_->frameWidth();
  View_->setGeometry(frame, frame, Width() + (Grid_->showGrid() ? 1 : 0),
                     Grid_->viewport()->height() + Grid_->horizontalHeader()->height());
  View_->verticalScrollBar()->setValue(Grid_->verticalScrollBar()->value());
}

QPoint TFrozenColumns::ToGrid(const QPoint& Point) const {
  // The frozen view does not scroll sideways; the grid is scrolled by its
  // header's offset.
  return QPoint(Point.x() - Grid_->horizontalHeader()->offset(), Point.y());
}

void TFrozenColumns::KeepCurrentInView() {
  const QModelIndex current = Grid_->currentIndex();
  if (!current.isValid() || current.column() < kFrozen) return;
  // Back one step at a time until the cell lies right of the frozen view
  // (or the grid is at its left end).
  QScrollBar* bar = Grid_->horizontalScrollBar();
  const int step = Grid_->horizontalScrollMode() == QAbstractItemView::ScrollPerPixel ? 8 : 1;
  for (int guard = 0; guard < 100000 && bar->value() > bar->minimum(); ++guard) {
    if (Grid_->columnViewportPosition(current.column()) >= Width()) break;
    bar->setValue(bar->value() - step);
  }
}

bool TFrozenColumns::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == Grid_) {
    if (Event->type() == QEvent::Resize || Event->type() == QEvent::LayoutRequest ||
        Event->type() == QEvent::Show)
      QTimer::singleShot(0, this, &TFrozenColumns::Update);
    return false;
  }
  if (Watched != View_->viewport()) return false;
  // The grid's own selection follows presses on the frozen columns; the
  // frozen view goes on to serve its check boxes.
  switch (Event->type()) {
    case QEvent::MouseButtonPress: {
      auto* e = static_cast<QMouseEvent*>(Event);
      Grid_->MouseDown(e->buttons() | e->button(), ToGrid(e->position().toPoint()), e->modifiers());
      Grid_->viewport()->update();
      break;
    }
    case QEvent::MouseMove: {
      auto* e = static_cast<QMouseEvent*>(Event);
      if (e->buttons() & Qt::LeftButton) Grid_->MouseMove(ToGrid(e->position().toPoint()));
      break;
    }
    case QEvent::MouseButtonRelease:
      Grid_->Dragging_ = Grid_->BlockDrag_ = false;
      break;
    case QEvent::MouseButtonDblClick: {
      auto* e = static_cast<QMouseEvent*>(Event);
      Grid_->SkipMouseDown_ = true;
      Grid_->EditSelected();
      Grid_->MouseDown(e->buttons() | e->button(), ToGrid(e->position().toPoint()), e->modifiers());
      break;
    }
    default:
      break;
  }
  return false;
}

}  // namespace tavex
