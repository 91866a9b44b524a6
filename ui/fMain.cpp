#include "ui/fMain.h"

#include <QApplication>
#include <QColor>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QPushButton>
#include <QSettings>
#include <QShortcut>
#include <QStyle>
#include <QTabWidget>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "abus/uABus.h"
#include "comm/uCommunication.h"
#include "hostutil/uEthernetUtils.h"
#include "plc/uOperations.h"
#include "ui/fEditValue.h"
#include "ui/fOptions.h"
#include "ui/uApplication.h"
#include "ui/uCellPainter.h"
#include "ui/uGridModels.h"
#include "ui/uSettings.h"
#include "vars/uConfigFile.h"

namespace tavex {

namespace {

constexpr char kInvalidIPWarning[] = "Warning: your computer IP address is invalid!";
constexpr int kTimerMs = 2000;
constexpr int kPanelHeight = 41;
const QColor kBusyColor(255, 0, 0);
const QColor kEditedColor(0, 0, 255);
constexpr int kRtcColumn = 3;

// Runs a function when the scope ends, also when an exception leaves it.
template <class F>
class TScopeExit {
 public:
  explicit TScopeExit(F Fn) : Fn_(std::move(Fn)) {}
  ~TScopeExit() { Fn_(); }
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;

 private:
  F Fn_;
};

// An entry as the bottom bar names it: a long one cut short.
QString ShortName(const std::string& Entry) {
  constexpr int kMaxShown = 60;
  const QString name = QString::fromStdString(Entry);
  return name.size() > kMaxShown ? name.left(kMaxShown) + QStringLiteral("...") : name;
}

// While a communicator waits for an answer the window stays responsive.
void ProcessPendingEvents() { QCoreApplication::processEvents(); }

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

QTableView* Grid(const char* Name, QWidget* Parent) {
  auto* v = new QTableView(Parent);
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

// --- Operation guard ---------------------------------------------------------

TfmMain::TOperationGuard::TOperationGuard(TfmMain& Window) : Window_(Window), Owner_(!Window.Busy_) {
  if (!Owner_) return;
  Window_.Busy_ = true;
  Window_.StopRequested_ = false;
  Window_.Failures_.clear();
}

TfmMain::TOperationGuard::~TOperationGuard() {
  if (!Owner_) return;
  Window_.Busy_ = false;
  if (Window_.CloseRequested_) {
    // The close that came while the operation ran; after the handler returns.
    Window_.CloseRequested_ = false;
    QTimer::singleShot(0, &Window_, &QWidget::close);
  }
}

// --- Busy display ---------------------------------------------------------------

TfmMain::TBusyDisplay::TBusyDisplay(TfmMain& Window) : Window_(Window) {
  Window_.BusyDisplay_ = true;
  Window_.ApplyButtonStates();
  for (QTableView* grid : {Window_.vstSystem, Window_.vstConfig}) grid->viewport()->setCursor(Qt::WaitCursor);
}

TfmMain::TBusyDisplay::~TBusyDisplay() {
  Window_.BusyDisplay_ = false;
  Window_.ApplyButtonStates();
  for (QTableView* grid : {Window_.vstSystem, Window_.vstConfig}) grid->viewport()->unsetCursor();
}

void TfmMain::ApplyButtonStates() {
  // Close stays enabled: during an operation it stops it and then closes.
  const bool idle = !BusyDisplay_;
  btnSetup->setEnabled(idle);
  btnAutodetect->setEnabled(idle);
  btnCheck->setEnabled(idle && PageButtonsEnabled_);
  btnRead->setEnabled(idle && PageButtonsEnabled_);
  btnWrite->setEnabled(idle && PageButtonsEnabled_);
  lblSyncRTC->setEnabled(PageButtonsEnabled_);
  cbSyncRTC->setEnabled(PageButtonsEnabled_);
}

void TfmMain::ShowProgress(const QString& Text) {
  if (ProgressWarning_) {
    lblProgress->setPalette(QPalette());
    ProgressWarning_ = false;
  }
  lblProgress->setText(Text);
  // The bar may be too narrow for the whole text.
  lblProgress->setToolTip(Text);
}

void TfmMain::ShowWarning(const QString& Text) {
  ShowProgress(Text);
  QPalette p = lblProgress->palette();
  p.setColor(QPalette::WindowText, QColor(255, 0, 0));
  lblProgress->setPalette(p);
  ProgressWarning_ = true;
}

void TfmMain::StopOperation() {
  if (!Busy_ || !BusyDisplay_ || StopRequested_) return;
  StopRequested_ = true;
  ShowProgress(QStringLiteral("Stopping..."));
}

void TfmMain::NoteFailure(const TTavex& Plc, const std::string& Why) {
  Failures_ << QString::number(Plc.Nad) + ": " + QString::fromStdString(Why);
}

void TfmMain::ShowOutcome(bool Stopped, const QString& What, int Finished, int Total) {
  if (Stopped) {
    ShowProgress(QStringLiteral("%1 stopped after %2 of %3.").arg(What).arg(Finished).arg(Total));
    return;
  }
  // A few names are enough to tell where to look.
  constexpr int kShown = 3;
  QStringList shown = Failures_.mid(0, kShown);
  if (Failures_.size() > kShown) shown << QStringLiteral("...");
  ShowProgress(shown.join(QStringLiteral("; ")));
}

int TfmMain::CheckedRows(const TCheckedRowsModel& Model) {
  int n = 0;
  for (int r = 0; r < Model.rowCount(); ++r) n += Model.Checked(r) ? 1 : 0;
  return n;
}

// --- Creation and destruction ------------------------------------------------

TfmMain::TfmMain(const TMainOptions& Options, QWidget* Parent)
    : QWidget(Parent), Options_(Options) {
  setObjectName("fmMain");
  setWindowTitle("Tavex Config Tool v1.3");
  CreateControls();
  setGeometry(kDesignLeft, kDesignTop, kDesignWidth, kDesignHeight);
  FormCreate();
  TApplication::SetMainWindow(this);
}

TfmMain::~TfmMain() { FormDestroy(); }

void TfmMain::SetDialogs(TfmEditValue* EditValue, TfmOptions* Options) {
  fmEditValue_ = EditValue;
  fmOptions_ = Options;
}

void TfmMain::CreateControls() {
  PageControl1 = new QTabWidget(this);
  PageControl1->setObjectName("PageControl1");

  // System check page: the grid, and the check button at the top right.
  pgSystem = new QWidget;
  pgSystem->setObjectName("pgSystem");
  vstSystem = Grid("vstSystem", pgSystem);
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
  vstConfig = Grid("vstConfig", pgConfig);
  // The page draws its own single-cell selection (mouse handlers below).
  vstConfig->setSelectionMode(QAbstractItemView::NoSelection);
  vstConfig->viewport()->installEventFilter(this);
  vstConfig->installEventFilter(this);
  vstSystem->installEventFilter(this);
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
  lblMyIP->setMinimumWidth(137);
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
  auto* stop = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  stop->setContext(Qt::WindowShortcut);
  connect(stop, &QShortcut::activated, this, &TfmMain::StopOperation);
  connect(PageControl1, &QTabWidget::currentChanged, this, [this](int Index) {
    TApplication::RunHandler([this, Index] { PageControl1Change(Index); });
  });
}

void TfmMain::FormCreate() {
  Communicator = std::make_unique<TCommunicator>();
  Communicator->IdleHook = ProcessPendingEvents;
  if (Options_.PrepareCommunicator) Options_.PrepareCommunicator(*Communicator);
  TavexList.Clear();

  SystemModel_ = std::make_unique<TSystemModel>(TavexList, StatusChecked, CheckProgress, CheckLimit);
  SystemModel_->InitNode = [this](int Row) { return vstSystemInitNode(Row); };
  SystemModel_->Checking = [this](int Row, bool Checked) { vstSystemChecking(Row, Checked); };
  ConfigModel_ = std::make_unique<TConfigModel>(TavexList, VarNames, Cells);
  ConfigModel_->InitNode = [this](int Row) { return vstConfigInitNode(Row); };
  ConfigModel_->Checking = [this](int Row, bool Checked) { vstConfigChecking(Row, Checked); };
  vstSystem->setModel(SystemModel_.get());
  vstConfig->setModel(ConfigModel_.get());
  // The keyboard focus never rests on the check-box column.
  connect(vstConfig->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& Current, const QModelIndex& Previous) {
            if (!Current.isValid() || vstConfigFocusChanging(Current.column())) return;
            const int column = Previous.isValid() && vstConfigFocusChanging(Previous.column())
                                   ? Previous.column()
                                   : 1;
            vstConfig->selectionModel()->setCurrentIndex(ConfigModel_->index(Current.row(), column),
                                                          QItemSelectionModel::NoUpdate);
          });

  SystemPainter_ = new TCellPainter(vstSystem);
  SystemPainter_->BeforeCellPaint = [this](QPainter& Painter, int Row, int Column, const QRect& Rect) {
    vstSystemBeforeCellPaint(Painter, Row, Column, Rect);
    return SystemModel_->IsProgressCell(Row, Column);
  };
  vstSystem->setItemDelegate(SystemPainter_);
  ConfigPainter_ = new TCellPainter(vstConfig);
  ConfigPainter_->ViewSelection = false;
  ConfigPainter_->BeforeCellPaint = [this](QPainter& Painter, int Row, int Column, const QRect& Rect) {
    vstConfigBeforeCellPaint(Painter, Row, Column, Rect);
    return true;
  };
  ConfigPainter_->PaintText = [this](int Row, int Column) { return vstConfigPaintText(Row, Column); };
  vstConfig->setItemDelegate(ConfigPainter_);
  SystemModel_->SetRowCount(0);
  ConfigModel_->SetRowCount(0);

  DirectConnection = false;
  Detecting = false;
  AdapterID.clear();
  LoadSettings();
  Communicator->Adapter.AssignFromID(AdapterID);
  Communicator->SetDirectConnection(DirectConnection);

  VarNames.clear();
  StatusChecked = false;
  CheckProgress = -1;
  LoadVariableList();
  Cells.Clear();

  SetPageButtonsEnabled(false);
  Timer1->start();
}

void TfmMain::FormDestroy() {
  Timer1->stop();
  vstConfig->viewport()->removeEventFilter(this);
  vstConfig->removeEventFilter(this);
  vstSystem->removeEventFilter(this);
  SaveSettings();
  // The models go first (they read the list), then the controllers.
  vstSystem->setModel(nullptr);
  vstConfig->setModel(nullptr);
  SystemModel_.reset();
  ConfigModel_.reset();
  TavexList.Clear();
  Communicator.reset();
}

void TfmMain::closeEvent(QCloseEvent* Event) {
  if (Busy_) {
    // The running operation still walks the controllers: it stops after the
    // request in flight, and the window closes once it has ended.
    CloseRequested_ = true;
    StopOperation();
    Event->ignore();
    return;
  }
  Event->accept();
}

// --- Configuration file -----------------------------------------------------

void TfmMain::LoadVariableList() {
  TConfigFile config;
  LoadConfigFile(Options_.IniPath.toStdString(), config);
  Password = config.Password;
  ConfigModel_->ChangeColumns([&] { VarNames = std::move(config.Entries); });
  Cells.Resize(TavexList.Count(), static_cast<int>(VarNames.size()));
  SetColumnWidths();
}

void TfmMain::SetColumnWidths() {
  QHeaderView* sys = vstSystem->horizontalHeader();
  for (int c = 0; c < TSystemModel::kColumnCount; ++c)
    sys->resizeSection(c, TSystemModel::kColumns[c].Width);
  QHeaderView* cfg = vstConfig->horizontalHeader();
  for (int c = 0; c < TConfigModel::kFixedColumns; ++c)
    cfg->resizeSection(c, TConfigModel::kFixedWidths[c]);
  const QFontMetrics metrics(font());
  // The clock is read at a glance: its column takes the whole text in
  // fonts wider than the one its design width was made for.
  cfg->resizeSection(kRtcColumn, std::max(TConfigModel::kFixedWidths[kRtcColumn], RtcColumnWidth(metrics)));
  for (size_t k = 0; k < VarNames.size(); ++k)
    cfg->resizeSection(TConfigModel::kFixedColumns + static_cast<int>(k),
                       metrics.horizontalAdvance(QString::fromStdString(VarNames[k])) + 15);
}

int RtcColumnWidth(const QFontMetrics& Metrics) {
  return Metrics.horizontalAdvance(QStringLiteral("0000-00-00  00:00:00")) + 12;
}

// --- Settings ---------------------------------------------------------------

void TfmMain::LoadSettings() {
  if (Options_.Settings == nullptr) return;
  const TStoredSettings s = ReadSettings(*Options_.Settings);
  if (s.EthernetAdapterID) AdapterID = s.EthernetAdapterID->toStdString();
  if (s.DirectConnection) DirectConnection = *s.DirectConnection;
  if (s.SynchronizeRTC) cbSyncRTC->setChecked(*s.SynchronizeRTC);
  const QRect now = geometry();
  setGeometry(s.Left.value_or(now.left()), s.Top.value_or(now.top()),
              s.Width.value_or(now.width()), s.Height.value_or(now.height()));
  if (s.Maximized.value_or(false)) setWindowState(windowState() | Qt::WindowMaximized);
}

bool TfmMain::SaveSettings() {
  if (Options_.Settings == nullptr) return true;
  // With no choice made, the adapter in use becomes the saved choice.
  if (AdapterID.empty() && Communicator) AdapterID = Communicator->Adapter.ID;
  TSettingsRecord r;
  r.EthernetAdapterID = QString::fromStdString(AdapterID);
  r.DirectConnection = DirectConnection;
  r.SynchronizeRTC = cbSyncRTC->isChecked();
  r.Restored = normalGeometry();
  r.Maximized = isMaximized();
  return WriteSettings(*Options_.Settings, r);
}

// --- Autodetect --------------------------------------------------------------

void TfmMain::btnAutodetectClick() {
  TOperationGuard operation(*this);
  if (!operation) return;

  // Autodetect and the other buttons are disabled while it runs.
  const TBusyDisplay busy(*this);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const TScopeExit cursor([] { QApplication::restoreOverrideCursor(); });
  // The adapter watch must not stay silent after an early exit either.
  Detecting = true;
  const TScopeExit detecting([this] { Detecting = false; });
  StatusChecked = false;
  ShowProgress(QStringLiteral("Autodetect: listening for controllers..."));
  bool finished = false;
  const TScopeExit outcome([this, &finished] {
    if (!finished) ShowProgress(QString());
  });

  TavexList.Clear();
  SystemModel_->SetRowCount(0);
  ConfigModel_->SetRowCount(0);
  vstSystem->viewport()->repaint();

  TDetectOptions detect;
  detect.AdapterID = AdapterID;
  detect.DirectConnection = DirectConnection;
  detect.Password = Password;
  detect.ListenMs = Options_.ListenMs;
  detect.AfterRound = [this, rounds = detect.Rounds](const TDetectRound& R) {
    if (R.Report.Lost > 0 && R.Again)
      ShowProgress(QStringLiteral("Autodetect: answers were lost, listening again (%1 of %2)...")
                       .arg(R.Round + 1)
                       .arg(rounds));
  };
  TDetectOutcome detected;
  const bool opened = DetectControllers(*Communicator, TavexList, detect, &detected);

  const int count = TavexList.Count();
  Cells.Resize(count, static_cast<int>(VarNames.size()));
  SystemModel_->SetRowCount(count);
  ConfigModel_->SetRowCount(count);
  for (int i = 0; i < count; ++i) {
    TTavex* plc = TavexList.Items(i);
    plc->Communicator->IdleHook = ProcessPendingEvents;
    Cells.ClearTexts(i);
    plc->Shown = false;
  }
  vstSystem->viewport()->repaint();
  Detecting = false;

  SetPageButtonsEnabled(count > 0);
  Communicator->Close();
  SystemModel_->CheckAll();
  ConfigModel_->CheckAll();
  finished = true;
  QString found = count == 1 ? QStringLiteral("Autodetect found 1 controller.")
                                   : QStringLiteral("Autodetect found %1 controllers.").arg(count);
  // What came but answered nothing asked: named, though nothing is missing
  // for it.
  const QString skipped = (detected.Skipped == 1 ? QStringLiteral("1 datagram")
                                                 : QStringLiteral("%1 datagrams").arg(detected.Skipped)) +
                          QStringLiteral(" that held no answer") +
                          (count == 0 ? QStringLiteral(" came") : QString()) + QStringLiteral(", ") +
                          QString::fromStdString(SkippedSendersText(detected)) + QStringLiteral(".");
  if (!opened) {
    ShowProgress(QString::fromLatin1(kErrOpen));
  } else if (detected.AnswersLost) {
    // More answers came at once than the system kept, in every round: the
    // rows shown are not all the controllers there are.
    ShowWarning(QStringLiteral("The list may be incomplete: answers were lost. ") +
                (count == 0 ? QStringLiteral("Autodetect found no controller.") : found));
  } else if (count == 0) {
    ShowProgress(detected.Skipped == 0 ? QStringLiteral("Autodetect found no controller.")
                                       : QStringLiteral("Autodetect found no controller; only ") + skipped);
  } else if (detected.Skipped == 0) {
    ShowProgress(found);
  } else {
    found.chop(1);
    ShowProgress(found + QStringLiteral("; skipped ") + skipped);
  }
}

void TfmMain::SetPageButtonsEnabled(bool Enabled) {
  PageButtonsEnabled_ = Enabled;
  ApplyButtonStates();
}

// --- Adapter watch -------------------------------------------------------------

void TfmMain::Timer1Timer() {
  // Autodetect uses the adapter record; it is left alone meanwhile.
  if (Detecting) return;
  Communicator->Adapter.AssignFromID(AdapterID);
  if (IPToInt(Communicator->Adapter.IP) == 0) {
    QPalette p = lblMyIP->palette();
    p.setColor(QPalette::WindowText, QColor(255, 0, 0));
    lblMyIP->setPalette(p);
    lblMyIP->setText(kInvalidIPWarning);
  } else {
    lblMyIP->setText(QString());
  }
}

// --- Setup -------------------------------------------------------------------

void TfmMain::btnSetupClick() {
  TOperationGuard operation(*this);
  if (!operation || fmOptions_ == nullptr) return;
  fmOptions_->DirectConnection = DirectConnection;
  fmOptions_->AdapterID = Communicator->Adapter.ID;
  if (fmOptions_->exec() == QDialog::Accepted) {
    AdapterID = fmOptions_->AdapterID;
    DirectConnection = fmOptions_->DirectConnection;
    Communicator->Adapter.AssignFromID(AdapterID);
    Communicator->SetDirectConnection(DirectConnection);
    for (int i = 0; i < TavexList.Count(); ++i) {
      TTavex* plc = TavexList.Items(i);
      plc->SetDirectConnection(DirectConnection);
      plc->SelectAdapter(AdapterID);
    }
  }
  if (!SaveSettings())
    throw std::runtime_error("Cannot save the settings to " +
                             Options_.Settings->fileName().toStdString());
}

// --- Check boxes -------------------------------------------------------------

bool TfmMain::vstSystemInitNode(int) { return true; }

bool TfmMain::vstConfigInitNode(int) { return false; }

void TfmMain::vstSystemChecking(int Row, bool Checked) {
  if (Checked) return;
  // An unchecked row shows no status.
  if (TTavex* plc = TavexList.Items(Row)) plc->Shown = false;
  SystemModel_->RefreshRow(Row);
}

void TfmMain::vstConfigChecking(int Row, bool Checked) { vstSystemChecking(Row, Checked); }

void TfmMain::PageControl1Change(int Index) {
  // The page now visible takes over the other page's selection.
  TCheckedRowsModel* from = Index == 0 ? static_cast<TCheckedRowsModel*>(ConfigModel_.get())
                                       : static_cast<TCheckedRowsModel*>(SystemModel_.get());
  TCheckedRowsModel* to = Index == 0 ? static_cast<TCheckedRowsModel*>(SystemModel_.get())
                                     : static_cast<TCheckedRowsModel*>(ConfigModel_.get());
  const int rows = std::min(from->rowCount(), to->rowCount());
  for (int r = 0; r < rows; ++r) to->SetChecked(r, from->Checked(r));
}

void TfmMain::btnCloseClick() { close(); }

// --- Page operations ---------------------------------------------------------

char TfmMain::DecimalSeparator() const {
  const QString point = QLocale().decimalPoint();
  if (point.size() == 1 && point[0].unicode() > 32 && point[0].unicode() < 127)
    return static_cast<char>(point[0].unicode());
  return '.';
}

// --- System check page ---------------------------------------------------------

QString TfmMain::vstSystemGetText(int Row, int Column) const { return SystemModel_->CellText(Row, Column); }

QString TfmMain::StatusText(int Row, int Step) const { return SystemModel_->StatusText(Row, Step); }

void TfmMain::vstSystemBeforeCellPaint(QPainter& Painter, int Row, int Column, const QRect& CellRect) const {
  if (SystemModel_->IsProgressCell(Row, Column)) Painter.fillRect(FillRect(CellRect), kBusyColor);
}

void TfmMain::btnCheckClick() {
  TOperationGuard operation(*this);
  if (!operation) return;
  const TBusyDisplay busy(*this);
  bool finished = false;
  const TScopeExit outcome([this, &finished] {
    if (!finished) ShowProgress(QString());
  });
  CheckProgress = 0;
  CheckLimit = -1;
  StatusChecked = true;
  Communicator->Close();
  const int total = 5 * CheckedRows(*SystemModel_);
  int done = 0;
  const TTavex* current = nullptr;
  auto showStep = [&](int Step) {
    ShowProgress(QStringLiteral("Checking %1: %2, %3 of %4")
                     .arg(current->Nad)
                     .arg(QString::fromLatin1(TSystemModel::kColumns[3 + Step].Caption))
                     .arg(done + 1)
                     .arg(total));
  };
  TStatusSteps steps;
  steps.AfterStep = [&](int Step, bool) {
    ++CheckProgress;
    ++done;
    SystemModel_->Refresh();
    if (Step < 4) showStep(Step + 1);
  };
  steps.Pause = [](int Ms) { QThread::msleep(static_cast<unsigned long>(Ms)); };
  steps.Stop = [this] { return StopRequested_; };
  bool stopped = false;
  for (int i = 0; i < TavexList.Count(); ++i) {
    TTavex* plc = TavexList.Items(i);
    plc->SelectAdapter(AdapterID);
    plc->SetDirectConnection(DirectConnection);
    if (!SystemModel_->Checked(i)) {
      CheckProgress += 5;
      continue;
    }
    if (StopRequested_) {
      stopped = true;
      break;
    }
    plc->Shown = true;
    current = plc;
    showStep(0);
    SystemModel_->Refresh();
    vstSystem->viewport()->repaint();
    const bool complete = CheckStatus(*plc, steps);
    if (!plc->SocketOpen)
      NoteFailure(*plc, kErrOpen);
    else if (!plc->Responding)
      NoteFailure(*plc, kErrPing);
    if (!complete) {
      stopped = true;
      break;
    }
  }
  // A stopped check shows what it found; the steps it did not run stay empty.
  if (stopped) CheckLimit = CheckProgress;
  CheckProgress = -1;
  SystemModel_->Refresh();
  vstSystem->viewport()->repaint();
  finished = true;
  ShowOutcome(stopped, QStringLiteral("Status check"), done, total);
}

// --- Configuration page --------------------------------------------------------

QString TfmMain::vstConfigGetText(int Row, int Column) const { return ConfigModel_->CellText(Row, Column); }

std::optional<QColor> TfmMain::vstConfigPaintText(int Row, int Column) const {
  if (Column < TConfigModel::kFixedColumns) return std::nullopt;
  std::optional<QColor> color;
  if (Cells.At(Row, Column - TConfigModel::kFixedColumns).Edited) color = kEditedColor;
  if (Selection.IsSelected(Row, Column)) color = vstConfig->palette().color(QPalette::HighlightedText);
  return color;
}

void TfmMain::vstConfigBeforeCellPaint(QPainter& Painter, int Row, int Column, const QRect& CellRect) const {
  if (Column < TConfigModel::kFixedColumns) return;
  if (Cells.At(Row, Column - TConfigModel::kFixedColumns).Busy) Painter.fillRect(FillRect(CellRect), kBusyColor);
  if (Selection.IsSelected(Row, Column))
    Painter.fillRect(FillRect(CellRect), vstConfig->palette().color(QPalette::Highlight));
}

bool TfmMain::CellAt(const QPoint& Point, int& Row, int& Column) const {
  Row = vstConfig->rowAt(Point.y());
  if (Row < 0) return false;
  // The first column whose right edge lies beyond the point, counted over
  // the grid's full scrolled width.
  const QHeaderView* header = vstConfig->horizontalHeader();
  const int64_t x = static_cast<int64_t>(Point.x()) + header->offset();
  int64_t right = 0;
  for (int c = 0; c < header->count(); ++c) {
    right += header->sectionSize(c);
    if (right > x) {
      Column = c;
      return true;
    }
  }
  return false;
}

void TfmMain::vstConfigMouseDown(Qt::MouseButtons Buttons, const QPoint& Point) {
  if (Buttons & Qt::RightButton) return;
  if (SkipMouseDown) {
    // The press that belongs to a double-click.
    SkipMouseDown = false;
    return;
  }
  Selection.Clear();
  int row = -1, column = -1;
  if (CellAt(Point, row, column)) {
    SelectedRow = row;
    SelectedColumn = column;
    Selection.Set(row, column);
    Dragging = true;
  }
  vstConfig->viewport()->update();
}

void TfmMain::vstConfigMouseMove(const QPoint& Point) {
  int row = -1, column = -1;
  if (!Dragging || !CellAt(Point, row, column)) return;
  if (Selection.IsSelected(row, column)) return;
  Selection.Set(row, column);
  vstConfig->viewport()->update();
}

void TfmMain::vstConfigMouseUp() { Dragging = false; }

bool TfmMain::vstConfigFocusChanging(int NewColumn) const { return NewColumn > 0; }

void TfmMain::vstConfigDblClick() {
  SkipMouseDown = true;
  EditSelectedCell();
}

void TfmMain::EditSelectedCell() {
  if (!Selection.IsSelected(SelectedRow, SelectedColumn) || SelectedColumn < TConfigModel::kFixedColumns)
    return;
  // Not while Read or Write walks the cells: the dialog would hold their
  // answers up, and the request would overwrite the edit.
  TOperationGuard operation(*this);
  if (!operation || fmEditValue_ == nullptr) return;
  const int row = SelectedRow, entry = SelectedColumn - TConfigModel::kFixedColumns;
  fmEditValue_->Value = QString::fromStdString(Cells.At(row, entry).Text);
  if (fmEditValue_->exec() != QDialog::Accepted) return;
  // The rows may have changed while the dialog was open.
  TCell* cell = Cells.Cell(row, entry);
  if (cell == nullptr) return;
  cell->Text = fmEditValue_->Value.toStdString();
  cell->Edited = true;
  ConfigModel_->RefreshCell(row, entry);
}

void TfmMain::vstConfigKeyMove(int Key, Qt::KeyboardModifiers Modifiers) {
  const int rows = ConfigModel_->rowCount();
  const int columns = ConfigModel_->columnCount();
  if (rows == 0 || columns < 2) return;
  // From the painted cell, as a press there would leave it; the check-box
  // column is never the keyboard's.
  int row = Selection.IsEmpty() ? 0 : Selection.Row();
  int column = Selection.IsEmpty() ? TConfigModel::kFixedColumns : Selection.Column();
  if (Selection.IsEmpty() && column >= columns) column = 1;
  const int page = std::max(1, vstConfig->viewport()->height() / std::max(1, vstConfig->rowHeight(0)) - 1);
  const bool ctrl = (Modifiers & Qt::ControlModifier) != 0;
  if (!Selection.IsEmpty()) {
    switch (Key) {
      case Qt::Key_Left: --column; break;
      case Qt::Key_Right: ++column; break;
      case Qt::Key_Up: --row; break;
      case Qt::Key_Down: ++row; break;
      case Qt::Key_Home: column = 1; if (ctrl) row = 0; break;
      case Qt::Key_End: column = columns - 1; if (ctrl) row = rows - 1; break;
      case Qt::Key_PageUp: row -= page; break;
      case Qt::Key_PageDown: row += page; break;
      default: break;
    }
  }
  row = std::clamp(row, 0, rows - 1);
  column = std::clamp(column, 1, columns - 1);
  Selection.Set(row, column);
  SelectedRow = row;
  SelectedColumn = column;
  const QModelIndex at = ConfigModel_->index(row, column);
  vstConfig->selectionModel()->setCurrentIndex(at, QItemSelectionModel::NoUpdate);
  vstConfig->scrollTo(at);
  vstConfig->viewport()->update();
}

bool TfmMain::eventFilter(QObject* Watched, QEvent* Event) {
  if ((Watched == vstConfig || Watched == vstSystem) && Event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(Event);
    const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
    if (key->key() == Qt::Key_Space && mods == 0) {
      // The space bar toggles the check box of the current row from any
      // column, on both pages.
      const bool config = Watched == vstConfig;
      TCheckedRowsModel* model = config ? static_cast<TCheckedRowsModel*>(ConfigModel_.get())
                                        : static_cast<TCheckedRowsModel*>(SystemModel_.get());
      const int row = config && !Selection.IsEmpty() ? Selection.Row()
                                                     : static_cast<QTableView*>(Watched)->currentIndex().row();
      if (row >= 0 && row < model->rowCount())
        TApplication::RunHandler([model, row] { model->SetChecked(row, !model->Checked(row)); });
      return true;
    }
    if (Watched == vstConfig) {
      switch (key->key()) {
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown: {
          const int k = key->key();
          TApplication::RunHandler([this, k, mods] { vstConfigKeyMove(k, mods); });
          return true;
        }
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_F2:
          if (mods != 0) break;
          TApplication::RunHandler([this] { EditSelectedCell(); });
          return true;
        default:
          break;
      }
    }
    return QWidget::eventFilter(Watched, Event);
  }
  if (Watched != vstConfig->viewport()) return QWidget::eventFilter(Watched, Event);
  switch (Event->type()) {
    case QEvent::MouseButtonPress: {
      const auto* e = static_cast<QMouseEvent*>(Event);
      const QPoint at = e->position().toPoint();
      const Qt::MouseButtons buttons = e->buttons() | e->button();
      TApplication::RunHandler([this, at, buttons] { vstConfigMouseDown(buttons, at); });
      break;
    }
    case QEvent::MouseMove: {
      const QPoint at = static_cast<QMouseEvent*>(Event)->position().toPoint();
      TApplication::RunHandler([this, at] { vstConfigMouseMove(at); });
      break;
    }
    case QEvent::MouseButtonRelease:
      TApplication::RunHandler([this] { vstConfigMouseUp(); });
      break;
    case QEvent::MouseButtonDblClick: {
      const auto* e = static_cast<QMouseEvent*>(Event);
      const QPoint at = e->position().toPoint();
      const Qt::MouseButtons buttons = e->buttons() | e->button();
      // The double-click stands for the second press as well, which the
      // edit tells the press handler to skip.
      TApplication::RunHandler([this] { vstConfigDblClick(); });
      TApplication::RunHandler([this, at, buttons] { vstConfigMouseDown(buttons, at); });
      break;
    }
    default:
      break;
  }
  // The view goes on with its own handling (the check boxes).
  return false;
}

TRowSteps TfmMain::RowSteps(int Row, TProgress& Progress) {
  TRowSteps steps;
  const int64_t nad = TavexList.Items(Row) != nullptr ? TavexList.Items(Row)->Nad : -1;
  steps.Busy = [this, Row, nad, &Progress](int Entry) {
    if (TCell* cell = Cells.Cell(Row, Entry)) cell->Busy = true;
    ConfigModel_->RefreshCell(Row, Entry);
    ShowProgress(QStringLiteral("%1 %2: %3, %4 of %5")
                     .arg(QString::fromLatin1(Progress.Verb))
                     .arg(nad)
                     .arg(static_cast<size_t>(Entry) < VarNames.size()
                              ? ShortName(VarNames[static_cast<size_t>(Entry)])
                              : QString())
                     .arg(Progress.Finished + 1)
                     .arg(Progress.Total));
  };
  steps.Done = [this, Row, &Progress](int Entry, const std::string& Text) {
    if (TCell* cell = Cells.Cell(Row, Entry)) {
      cell->Text = Text;
      cell->Edited = false;
      cell->Busy = false;
    }
    ++Progress.Finished;
    ConfigModel_->RefreshCell(Row, Entry);
  };
  steps.Stop = [this] { return StopRequested_; };
  steps.Clock = [this, nad, &Progress] {
    const bool setting = std::string(Progress.Verb) == "Writing" && cbSyncRTC->isChecked();
    ShowProgress(QStringLiteral("%1 %2: RTC").arg(setting ? "Writing" : "Reading").arg(nad));
  };
  // A controller that failed is asked once per operation, not once per cell.
  steps.SkipAfterFailure = true;
  return steps;
}

void TfmMain::btnReadClick() {
  TOperationGuard operation(*this);
  if (!operation) return;
  const TBusyDisplay busy(*this);
  bool finished = false;
  const TScopeExit outcome([this, &finished] {
    if (!finished) ShowProgress(QString());
  });
  const char separator = DecimalSeparator();
  TProgress progress{"Reading", 0, CheckedRows(*ConfigModel_) * static_cast<int>(VarNames.size())};
  std::vector<std::string> texts;
  bool stopped = false;
  for (int r = 0; r < TavexList.Count() && !stopped; ++r) {
    if (!ConfigModel_->Checked(r)) continue;
    if (StopRequested_) {
      stopped = true;
      break;
    }
    TTavex& plc = *TavexList.Items(r);
    const TRowEnd end = ReadRow(plc, VarNames, texts, separator, RowSteps(r, progress));
    if (end == TRowEnd::Stopped) stopped = true;
    if (end == TRowEnd::ControllerFailed) NoteFailure(plc, plc.LastError);
    ConfigModel_->RefreshRow(r);
  }
  finished = true;
  ShowOutcome(stopped, QStringLiteral("Read"), progress.Finished, progress.Total);
}

void TfmMain::btnWriteClick() {
  TOperationGuard operation(*this);
  if (!operation) return;
  const TBusyDisplay busy(*this);
  bool finished = false;
  const TScopeExit outcome([this, &finished] {
    if (!finished) ShowProgress(QString());
  });
  const char separator = DecimalSeparator();
  TProgress progress{"Writing", 0, CheckedRows(*ConfigModel_) * static_cast<int>(VarNames.size())};
  std::vector<std::string> texts;
  bool stopped = false;
  for (int r = 0; r < TavexList.Count() && !stopped; ++r) {
    if (!ConfigModel_->Checked(r)) continue;
    if (StopRequested_) {
      stopped = true;
      break;
    }
    TTavex& plc = *TavexList.Items(r);
    // Each controller gets the time of its own clock write, taken after its values.
    const TClockSource clock = cbSyncRTC->isChecked() ? TClockSource(LocalNow) : TClockSource();
    texts.assign(VarNames.size(), std::string());
    for (size_t k = 0; k < VarNames.size(); ++k) texts[k] = Cells.At(r, static_cast<int>(k)).Text;
    const TRowEnd end = WriteRow(plc, VarNames, texts, clock, separator, RowSteps(r, progress));
    if (end == TRowEnd::Stopped) stopped = true;
    if (end == TRowEnd::ControllerFailed) NoteFailure(plc, plc.LastError);
    ConfigModel_->RefreshRow(r);
  }
  finished = true;
  ShowOutcome(stopped, QStringLiteral("Write"), progress.Finished, progress.Total);
}

}  // namespace tavex
