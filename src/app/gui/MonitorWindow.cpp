// Wiring the main window's widgets to the window logic.
#include "gui/MonitorWindow.h"

namespace {

constexpr uint16_t kEscapeKey = 27;

}  // namespace

TMonitorWindow::TMonitorWindow(TMainFmOptions aOptions, const std::function<TUiLoop&(TUiLoop&)>& aWrapLoop)
    : FLogicLoop(aWrapLoop ? aWrapLoop(FLoop) : FLoop),
      FLogic(std::make_unique<TMainFm>(FWindow, FLogicLoop, std::move(aOptions))),
      FAlignment(std::make_unique<TAlignmentController>(*FLogic, FLogicLoop)) {
  TMainFm& logic = *FLogic;
  TAlignmentController& alignment = *FAlignment;
  FWindow.SetEvents(TMainWindowEvents{
      .OnActivate = [&logic] { logic.FormActivate(); },
      .OnKeyDown = [&logic](uint16_t aKey) { logic.FormKeyDown(aKey); },
      .OnClose =
          [&logic, &alignment] {
            alignment.Close();
            // As a key press would, closing ends a link-type probe in progress at once, so that no
            // modem is started once the window has gone.
            logic.FormKeyDown(kEscapeKey);
            logic.FormClose();
          },
      .OnPing = [&logic] { logic.PingActionExecute(); },
      .OnReport = [&logic] { logic.ReportActionExecute(); },
      .OnSendReport = [&logic] { logic.SendReportActionExecute(); },
      .OnReportClosed = [&logic] { logic.ReportFormClose(); },
      .OnConnectionsDropDown = [&logic] { logic.cbConnectionsDropDown(); },
      .OnConnectionsCloseUp = [&logic] { logic.cbConnectionsCloseUp(); },
      .OnButton1Click = [&logic] { logic.Button1Click(); },
      .OnAlignment = [&alignment] { alignment.Open(); },
  });
}

TMonitorWindow::~TMonitorWindow() {
  FWindow.SetEvents({});
  FAlignment.reset();
  FLogic.reset();
}
