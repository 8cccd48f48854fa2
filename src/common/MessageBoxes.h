// Message boxes as a service the logic asks for; the program shows them, tests record them.
#pragma once

#include <string>

enum class TMessageBoxKind { Information, Warning, Error };

class TMessageBoxes {
 public:
  virtual ~TMessageBoxes() = default;
  // Modal: returns when the user has dismissed the box. Called on the user-interface thread.
  virtual void ShowMessageBox(const std::string& aCaption, const std::string& aText, TMessageBoxKind aKind) = 0;
};
