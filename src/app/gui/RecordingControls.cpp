// The field log's menu entries, status panel and message boxes.
#include "gui/RecordingControls.h"

#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>

#include <algorithm>

#include "gui/MonitorWindow.h"

namespace {

constexpr int kRefreshMs = 500;
constexpr char kCaption[] = "telvo";

}  // namespace

TRecordingControls::TRecordingControls(const TMonitorOptions& aOptions)
    : FLog(
          aOptions,
          // The recorder's threads hand their notices over through the event queue; those still
          // queued when this object goes are dropped with it.
          [this](std::function<void()> aTask) { QMetaObject::invokeMethod(this, std::move(aTask), Qt::QueuedConnection); },
          [this](const TRecorderNotice& aNotice) { Notice(aNotice); }) {
  FRecord = new QAction(QStringLiteral("Record…"), this);
  FRecord->setObjectName(QStringLiteral("RecordAction"));
  FStop = new QAction(QStringLiteral("Stop recording"), this);
  FStop->setObjectName(QStringLiteral("StopRecordingAction"));
  connect(FRecord, &QAction::triggered, this, [this] { ChooseFile(); });
  connect(FStop, &QAction::triggered, this, [this] { StopRecording(); });
  connect(&FRefresh, &QTimer::timeout, this, [this] { Refresh(); });
  Refresh();
}

TRecordingControls::~TRecordingControls() = default;

void TRecordingControls::StartFromCommandLine(const TMonitorOptions& aOptions) {
  if (!aOptions.Logs.empty()) FLog.Start(aOptions.Logs);
}

void TRecordingControls::Attach(TMonitorWindow& aMonitor) {
  FWindow = &aMonitor.Window();
  FPanelWidth = FWindow->StatusPanel(0)->minimumWidth();
  FLog.Attach(aMonitor.Logic());
  FWindow->setContextMenuPolicy(Qt::ActionsContextMenu);
  FWindow->addAction(FRecord);
  FWindow->addAction(FStop);
  FRefresh.start(kRefreshMs);
  Refresh();
}

void TRecordingControls::Stop() {
  FRefresh.stop();
  FLog.Stop();
  FWindow = nullptr;
}

void TRecordingControls::StartRecording(const QString& aPath) {
  try {
    FLog.Start({aPath.toStdString()});
  } catch (const ELogFileError& e) {
    Notice(TRecorderNotice{TRecorderNotice::TKind::Error, std::string("log: ") + e.what()});
  }
  Refresh();
}

void TRecordingControls::StopRecording() {
  FLog.Stop();
  Refresh();
}

QString TRecordingControls::PanelText() const {
  const TFieldRecorder* recorder = FLog.Recorder();
  if (!recorder) return {};
  if (!recorder->Recording()) return QStringLiteral("REC stopped by an error");
  QString text = QStringLiteral("REC %1").arg(recorder->Samples());
  if (const std::optional<TGpsState> gps = recorder->GpsState())
    text += QStringLiteral(" ") + QString::fromUtf8(GpsStateText(*gps).data(), static_cast<qsizetype>(GpsStateText(*gps).size()));
  return text;
}

void TRecordingControls::ChooseFile() {
  const QString suggested =
      QDir::home().filePath(QStringLiteral("field-log-%1.csv").arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))));
  // A file in use is never overwritten (a numbered name is taken), so the dialog need not ask.
  QString path = QFileDialog::getSaveFileName(FWindow, QStringLiteral("Record"), suggested,
                                              QStringLiteral("Field logs (*.csv *.jsonl *.gpx *.kml)"), nullptr,
                                              QFileDialog::DontConfirmOverwrite);
  if (path.isEmpty()) return;
  if (!LogFormatOfPath(path.toStdString())) path += QStringLiteral(".csv");
  StartRecording(path);
}

void TRecordingControls::Notice(const TRecorderNotice& aNotice) {
  Refresh();
  if (aNotice.Kind != TRecorderNotice::TKind::Error && aNotice.Kind != TRecorderNotice::TKind::NameTaken) return;
  // Not modal: the window's cycles go on while the box is shown.
  auto* box = new QMessageBox(aNotice.Kind == TRecorderNotice::TKind::Error ? QMessageBox::Warning : QMessageBox::Information,
                              QString::fromLatin1(kCaption), QString::fromStdString(aNotice.Text), QMessageBox::Ok, FWindow);
  box->setObjectName(QStringLiteral("RecordingMessageBox"));
  box->setTextFormat(Qt::PlainText);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

void TRecordingControls::Refresh() {
  FRecord->setEnabled(!FLog.Recorder());
  FStop->setEnabled(FLog.Recorder() != nullptr);
  if (!FWindow) return;
  QLabel* panel = FWindow->StatusPanel(0);
  const QString text = PanelText();
  // The panel widens while it has more to say than its designed width holds.
  const int frame = panel->width() - panel->contentsRect().width();
  panel->setFixedWidth(std::max(FPanelWidth, panel->fontMetrics().horizontalAdvance(text) + frame));
  panel->setText(text);
  panel->setToolTip(FLog.Recorder() ? QString::fromStdString(FLog.StatusLine()) : QString());
}
