// Component ownership.
#include "classlib/component.h"

#include <algorithm>

TComponent::TComponent(TComponent* owner)
{
    if (owner)
        owner->InsertComponent(this);
}

TComponent::~TComponent()
{
    DestroyComponents();
    if (owner_)
        owner_->RemoveComponent(this);
}

void TComponent::DestroyComponents()
{
    while (!components_.empty())
        Free(components_.back());  // each one removes itself from the list
}

void TComponent::Free(TComponent* component)
{
    if (!component)
        return;
    component->BeforeDestruction();
    delete component;
}

void TComponent::InsertComponent(TComponent* component)
{
    component->owner_ = this;
    components_.push_back(component);
}

void TComponent::RemoveComponent(TComponent* component)
{
    auto found = std::find(components_.begin(), components_.end(), component);
    if (found != components_.end())
        components_.erase(found);
    component->owner_ = nullptr;
}
