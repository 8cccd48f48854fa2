// One QApplication for all GUI tests, styled as the program styles itself.
#include "QtTestEnvironment.h"

#include "serial/SetupAPI.h"

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>

#include <memory>

#include "gui/AuricStyle.h"

namespace {

class TQtEnvironment final : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "app_gui_tests";
    static char* argv[] = {name, nullptr};
    FApp = std::make_unique<QApplication>(argc, argv);
    ApplyAuricStyle(*FApp);
  }
  void TearDown() override { FApp.reset(); }

 private:
  std::unique_ptr<QApplication> FApp;
};

[[maybe_unused]] ::testing::Environment* const kEnvironment = ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

}  // namespace

QTimer* AnswerModal(std::function<bool(QWidget*)> aAnswer) {
  auto* timer = new QTimer(qApp);
  timer->setInterval(20);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, aAnswer = std::move(aAnswer)] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible()) return;
    if (aAnswer(modal)) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start();
  return timer;
}

QTimer* AnswerMessageBoxes(QStringList& aTexts) {
  return AnswerModal([&aTexts](QWidget* aModal) {
    if (auto* box = qobject_cast<QMessageBox*>(aModal)) {
      aTexts << box->text();
      box->button(QMessageBox::Ok)->click();
    }
    return false;
  });
}

std::function<TPortEntries()> RegisteredPortsOnly(TPortTable& aTable) {
  return [&aTable] {
    return EnumerateComPorts(false, true, aTable, CreatePosixSerialDevice, [] { return std::vector<TSerialDeviceInfo>(); });
  };
}

std::string ArtefactPath(const std::string& aName) {
#ifdef CDMA_GUI_ARTEFACT_DIR
  return std::string(CDMA_GUI_ARTEFACT_DIR) + "/" + aName;
#else
  return aName;
#endif
}
