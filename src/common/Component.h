// The component base: an optional owner that frees what it owns, and a loading phase during
// which stored settings are assigned without being acted on.
#pragma once

#include <vector>

class TComponent {
 public:
  explicit TComponent(TComponent* aOwner = nullptr);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return FOwner; }
  // Between BeginLoading and Loaded, setters store values only.
  void BeginLoading() { FLoading = true; }
  virtual void Loaded() { FLoading = false; }
  bool Loading() const { return FLoading; }

 private:
  void RemoveComponent(TComponent* aComponent);

  TComponent* FOwner;
  std::vector<TComponent*> FComponents;
  bool FLoading = false;
};
