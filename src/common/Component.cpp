// Owner-managed component lifetime.
#include "common/Component.h"

#include <algorithm>

TComponent::TComponent(TComponent* aOwner) : FOwner(aOwner) {
  if (FOwner) FOwner->FComponents.push_back(this);
}

TComponent::~TComponent() {
  // Each owned component unlinks itself from us while it is destroyed.
  while (!FComponents.empty()) delete FComponents.back();
  if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::RemoveComponent(TComponent* aComponent) {
  FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), aComponent), FComponents.end());
}
