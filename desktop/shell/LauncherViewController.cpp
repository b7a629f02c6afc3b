#include "desktop/shell/LauncherViewController.h"

#include "desktop/card/CardPalette.h"
#include "desktop/card/CardViews.h"

#include <QPainter>
#include <QPainterPath>

namespace quillmere {

namespace {

constexpr int side = 48;

// The launcher's rounded, bordered background; the button sits 5 points inside it.
class LauncherView final : public QWidget {
public:
    LauncherView() {
        setAttribute(Qt::WA_TranslucentBackground);
        resize(side, side);
    }
    CardButton* button = nullptr;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 14, 14);
        painter.fillPath(path, CardPalette::background);
        painter.setPen(QPen(CardPalette::border, 1));
        painter.drawPath(path);
    }
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        if (button)
            button->setGeometry(rect().adjusted(5, 5, -5, -5));
    }
};

} // namespace

LauncherViewController::LauncherViewController() {
    // The first letter of the product's word.
    openButton_ = new CardButton(QStringLiteral("Q"));
}

LauncherViewController::~LauncherViewController() {
    if (!loaded_)
        delete openButton_;
    else if (view_ && !view_->parent())
        delete view_.data();
}

QWidget* LauncherViewController::view() {
    if (!view_)
        loadView();
    return view_;
}

void LauncherViewController::loadView() {
    auto* view = new LauncherView;
    view->button = openButton_;
    QFont font;
    font.setPixelSize(21);
    font.setWeight(QFont::Bold);
    openButton_->setTitleFont(font);
    openButton_->setTint(Qt::white);
    openButton_->setLayerBackground(CardPalette::button, 11);
    openButton_->setToolTip(QStringLiteral("Open Quillmere"));
    openButton_->setAccessibleName(QStringLiteral("Open Quillmere"));
    openButton_->setAccessibleDescription(QStringLiteral("Show the Quillmere recommendation widget"));
    openButton_->setParent(view);
    openButton_->setGeometry(view->rect().adjusted(5, 5, -5, -5));
    QObject::connect(openButton_, &QAbstractButton::clicked, view, [this] { openQuillmere(); });
    view_ = view;
    loaded_ = true;
}

void LauncherViewController::openQuillmere() {
    if (onOpen)
        onOpen();
}

} // namespace quillmere
