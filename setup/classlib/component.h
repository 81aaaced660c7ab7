// Objects with an owner: a component owns the components made with it as owner
// and frees them when it is freed.
#pragma once

#include <vector>

class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;
};

class TComponent : public TObject {
public:
    explicit TComponent(TComponent* owner);
    ~TComponent() override;

    TComponent* Owner() const { return owner_; }
    int ComponentCount() const { return static_cast<int>(components_.size()); }
    TComponent* Components(int index) const { return components_[index]; }

    // Frees every owned component, the last made first.
    void DestroyComponents();

    // Frees a component: runs its BeforeDestruction while the whole object
    // still exists, then deletes it. Owners free their components this way.
    static void Free(TComponent* component);

protected:
    // Called by Free before the destructors run (forms fire OnDestroy here).
    virtual void BeforeDestruction() {}

private:
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);

    TComponent* owner_ = nullptr;
    std::vector<TComponent*> components_;
};
