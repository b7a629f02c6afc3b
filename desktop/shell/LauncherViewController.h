#pragma once

// The 48 by 48 launcher that stands in for a host's card after the user closed it: one rounded
// "Q" button that brings the card back.

#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>

namespace quillmere {

class CardButton;

class LauncherViewController {
public:
    LauncherViewController();
    ~LauncherViewController();
    LauncherViewController(const LauncherViewController&) = delete;
    LauncherViewController& operator=(const LauncherViewController&) = delete;

    // The launcher's view, made on first use.
    QWidget* view();
    bool isViewLoaded() const { return loaded_; }
    CardButton* openButton() const { return openButton_; }

    std::function<void()> onOpen;
    void openQuillmere();

private:
    void loadView();

    // Owned by the panel that shows it, else by this controller.
    QPointer<QWidget> view_;
    bool loaded_ = false;
    CardButton* openButton_ = nullptr;
};

} // namespace quillmere
