// The Qt application the GUI tests share, and helpers to answer modal windows from a test.
#pragma once

#include <QApplication>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <string>

#include "window/MainUnit.h"

// Keeps looking for the active modal window every few milliseconds until aAnswer takes one;
// aAnswer gets the window and returns true when it has dealt with it. Returns the timer so the
// test can stop looking.
QTimer* AnswerModal(std::function<bool(QWidget*)> aAnswer);

// Answers every message box with OK and keeps its text in aTexts, until the timer it returns is
// deleted.
QTimer* AnswerMessageBoxes(QStringList& aTexts);

// The window logic's port listing without any serial device of the machine: only the ports of
// aTable that were registered by hand (the simulated modem), so tests see the same on any machine.
std::function<TPortEntries()> RegisteredPortsOnly(TPortTable& aTable);

// Where the tests leave their screenshots.
std::string ArtefactPath(const std::string& aName);
