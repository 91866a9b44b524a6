// The main window's controls, their layout and their connections.
#include "ui/fMain.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QStyle>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include "ui/fMainInternal.h"
#include "ui/uApplication.h"
#include "ui/uGridViews.h"

namespace tavex {

using namespace fmain;

namespace {

// A button of its design size, or larger where the platform's font needs
// more room for the caption.
QPushButton* Button(const char* Name, const char* Caption, int Width, QWidget* Parent) {
  auto* b = new QPushButton(Caption, Parent);
  b->setObjectName(Name);
  b->setAutoDefault(false);
  // The caption and the style's margins and frame on either side.
  QStyle* style = b->style();
  const int frame = style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, b) +
                    style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, b);
  const int needed = b->fontMetrics().horizontalAdvance(QString(Caption).remove('&')) + 2 * frame + 4;
  b->setFixedSize(std::max(Width, needed), 25);
  return b;
}

template <class TView>
TView* Grid(const char* Name, QWidget* Parent) {
  auto* v = new TView(Parent);
  v->setObjectName(Name);
  v->setShowGrid(true);
  v->verticalHeader()->hide();
  v->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  // Rows as high as a line of text, as in a list rather than a spreadsheet.
  v->verticalHeader()->setMinimumSectionSize(1);
  v->verticalHeader()->setDefaultSectionSize(v->fontMetrics().height() + 6);
  v->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  v->horizontalHeader()->setSectionsMovable(false);
  v->horizontalHeader()->setStretchLastSection(false);
  v->horizontalHeader()->setDefaultSectionSize(50);
  // A one-letter caption's column (its width plus 15) must not be widened.
  v->horizontalHeader()->setMinimumSectionSize(15);
  v->horizontalHeader()->setHighlightSections(false);
  v->setWordWrap(false);
  v->setEditTriggers(QAbstractItemView::NoEditTriggers);
  // Tab moves on to the buttons, not from cell to cell.
  v->setTabKeyNavigation(false);
  return v;
}

}  // namespace

void TfmMain::CreateControls() {
  PageControl1 = new QTabWidget(this);
  PageControl1->setObjectName("PageControl1");

  // System check page: the grid, and the check button at the top right.
  pgSystem = new QWidget;
  pgSystem->setObjectName("pgSystem");
  vstSystem = Grid<TCheckedGridView>("vstSystem", pgSystem);
  vstSystem->setSelectionBehavior(QAbstractItemView::SelectRows);
  vstSystem->setSelectionMode(QAbstractItemView::ExtendedSelection);
  btnCheck = Button("btnCheck", "C&heck PLC status", 105, pgSystem);
  {
    auto* side = new QVBoxLayout;
    side->addWidget(btnCheck);
    side->addStretch(1);
    auto* row = new QHBoxLayout(pgSystem);
    row->setContentsMargins(4, 4, 4, 4);
    row->addWidget(vstSystem, 1);
    row->addLayout(side);
  }
  PageControl1->addTab(pgSystem, "System check");

  // Configuration page: the grid, Read and Write, the clock option.
  pgConfig = new QWidget;
  pgConfig->setObjectName("pgConfig");
  // The grid keeps its own single-cell selection (ui/uGridViews.h).
  ConfigGrid_ = Grid<TConfigGridView>("vstConfig", pgConfig);
  vstConfig = ConfigGrid_;
  btnRead = Button("btnRead", "&Read", 75, pgConfig);
  btnWrite = Button("btnWrite", "&Write", 75, pgConfig);
  cbSyncRTC = new QCheckBox("Synchronize", pgConfig);
  cbSyncRTC->setObjectName("cbSyncRTC");
  lblSyncRTC = new QLabel("date/time", pgConfig);
  lblSyncRTC->setObjectName("lblSyncRTC");
  {
    auto* side = new QVBoxLayout;
    side->setSpacing(4);
    side->addWidget(btnRead);
    side->addWidget(btnWrite);
    side->addSpacing(8);
    side->addWidget(cbSyncRTC);
    // Under the check box's text.
    const int indent = cbSyncRTC->style()->pixelMetric(QStyle::PM_IndicatorWidth) +
                       cbSyncRTC->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing);
    lblSyncRTC->setContentsMargins(indent, 0, 0, 0);
    side->addWidget(lblSyncRTC);
    side->addStretch(1);
    auto* row = new QHBoxLayout(pgConfig);
    row->setContentsMargins(4, 4, 4, 4);
    row->addWidget(vstConfig, 1);
    row->addLayout(side);
  }
  PageControl1->addTab(pgConfig, "Configuration");

  // Bottom bar.
  Panel1 = new QWidget(this);
  Panel1->setObjectName("Panel1");
  Panel1->setFixedHeight(kPanelHeight);
  Label1 = new QLabel("My IP:", Panel1);
  Label1->setObjectName("Label1");
  Label1->setVisible(false);
  lblProgress = new QLabel(Panel1);
  lblProgress->setObjectName("lblProgress");
  lblProgress->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  lblMyIP = new QLabel(Panel1);
  lblMyIP->setObjectName("lblMyIP");
  // At least the design width; the warning gets the free width of the bar.
  lblMyIP->setMinimumWidth(kMyIPMinWidth);
  lblMyIP->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  btnSetup = Button("btnSetup", "&Setup", 75, Panel1);
  btnAutodetect = Button("btnAutodetect", "&Autodetect", 75, Panel1);
  btnClose = Button("btnClose", "&Close", 75, Panel1);
  {
    auto* bar = new QHBoxLayout(Panel1);
    bar->setContentsMargins(8, 0, 8, 0);
    bar->addWidget(Label1);
    bar->addWidget(lblProgress, 2);
    bar->addWidget(lblMyIP, 1);
    bar->addWidget(btnSetup);
    bar->addWidget(btnAutodetect);
    bar->addWidget(btnClose);
  }

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);
  outer->addWidget(PageControl1, 1);
  outer->addWidget(Panel1);

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(kTimerMs);

  // Each handler through RunHandler: what it throws ends it and is shown.
  auto handle = [this](void (TfmMain::*Handler)()) {
    return [this, Handler] { TApplication::RunHandler([this, Handler] { (this->*Handler)(); }); };
  };
  connect(btnAutodetect, &QPushButton::clicked, this, handle(&TfmMain::btnAutodetectClick));
  connect(btnCheck, &QPushButton::clicked, this, handle(&TfmMain::btnCheckClick));
  connect(btnRead, &QPushButton::clicked, this, handle(&TfmMain::btnReadClick));
  connect(btnWrite, &QPushButton::clicked, this, handle(&TfmMain::btnWriteClick));
  connect(btnSetup, &QPushButton::clicked, this, handle(&TfmMain::btnSetupClick));
  connect(btnClose, &QPushButton::clicked, this, handle(&TfmMain::btnCloseClick));
  connect(Timer1, &QTimer::timeout, this, handle(&TfmMain::Timer1Timer));
  connect(ConfigGrid_, &TConfigGridView::EditRequested, this, [this](int Row, int Column) {
    TApplication::RunHandler([this, Row, Column] { EditCell(Row, Column); });
  });
  auto* stop = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  stop->setContext(Qt::WindowShortcut);
  connect(stop, &QShortcut::activated, this, &TfmMain::StopOperation);
  connect(PageControl1, &QTabWidget::currentChanged, this, [this](int Index) {
    TApplication::RunHandler([this, Index] { PageControl1Change(Index); });
  });
  CreateReportAction();
}

}  // namespace tavex
