// The ask panel: a task typed into the field or picked from presets grouped by category is checked
// and handed to `onAsk`; the answer comes back through `showAskResult`.

#include "core/Text.h"
#include "desktop/card/CardStrings.h"
#include "desktop/card/RailViewController.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPixmap>
#include <QPointer>
#include <QStandardItemModel>
#include <QTimer>

namespace quillmere {

namespace ct = cardtext;

namespace {

struct Preset {
    const char* title;
    const char* task;
};
struct Category {
    const char* name;
    std::initializer_list<Preset> presets;
};

const std::initializer_list<Category>& catalogue() {
    static const std::initializer_list<Category> categories = {
        {"Writing",
         {{"Website copywriting", "Write or improve website copy for a product landing page."},
          {"Article or email", "Draft an article or email from a clear brief."},
          {"Restructure content", "Restructure a document and improve its argument and flow."}}},
        {"Marketing",
         {{"Campaign copy", "Write marketing copy for a campaign using an approved brief."},
          {"Campaign analysis", "Analyze campaign performance and conversion changes."},
          {"Go-to-market strategy", "Build a go-to-market strategy across several markets."}}},
        {"Development",
         {{"Build a website", "Build or redesign a website including its layout, styling, and interactions."},
          {"Implement a feature", "Implement a software feature with clear acceptance tests."},
          {"Debug a problem", "Debug a problem across frontend and backend components."},
          {"Design architecture", "Design the architecture for a distributed software system."}}},
        {"Product",
         {{"Write user stories", "Write user stories from an approved product specification."},
          {"Prioritize a roadmap", "Prioritize a product roadmap using supplied evidence."},
          {"Product strategy", "Build a product strategy across markets and constraints."}}},
        {"Sales",
         {{"Sales outreach", "Draft a sales outreach message using a prospect profile."},
          {"Pipeline analysis", "Analyze a sales pipeline and identify bottlenecks."},
          {"Sales strategy", "Build an enterprise sales strategy with competing constraints."}}},
        {"Customer support",
         {{"Support reply", "Draft a customer support reply using an approved policy."},
          {"Complaint analysis", "Analyze recurring customer complaints and support trends."},
          {"Escalation system", "Design a support escalation system across teams."}}},
        {"Operations",
         {{"Operating procedure", "Draft an operating procedure from approved steps."},
          {"Bottleneck analysis", "Analyze an operations bottleneck using cycle times."},
          {"Workflow redesign", "Redesign an end-to-end workflow across departments."}}},
        {"Research",
         {{"Extract findings", "Extract key dates and findings from research sources."},
          {"Compare studies", "Compare research findings and identify contradictions."},
          {"Research program", "Design a research program to test competing hypotheses."}}},
        {"Data",
         {{"Format data", "Convert a dataset into a specified schema."},
          {"Analyze a dataset", "Analyze a dataset for missing values and trends."},
          {"Causal analysis", "Design a causal inference analysis for a dataset."}}},
        {"Education",
         {{"Lesson plan", "Write a lesson plan from an approved curriculum."},
          {"Student analysis", "Analyze student misconceptions from anonymized responses."},
          {"Curriculum design", "Design a multi-year curriculum with prerequisites."}}},
        {"HR",
         {{"Job description", "Draft a job description from approved requirements."},
          {"Employee survey", "Analyze an anonymized employee survey."},
          {"Hiring decision", "Compare candidates using supplied role requirements and profiles."}}},
        {"Finance",
         {{"Invoice extraction", "Extract invoice fields into a supplied schema."},
          {"Budget analysis", "Analyze budget variance against a financial report."},
          {"Investment analysis", "Analyze investment options under supplied constraints."}}},
    };
    return categories;
}

// Preset items are indented one level: a blank icon as wide as one indentation step.
QIcon indentation() {
    static const QIcon icon = [] {
        QPixmap blank(12, 12);
        blank.fill(Qt::transparent);
        return QIcon(blank);
    }();
    return icon;
}

} // namespace

void RailViewController::configureAskPresets() {
    askPreset_->clear();
    askPreset_->addItem(ct::askPlaceholderItem);
    auto* model = qobject_cast<QStandardItemModel*>(askPreset_->model());
    bool first = true;
    for (const Category& category : catalogue()) {
        if (!first)
            askPreset_->insertSeparator(askPreset_->count());
        first = false;
        askPreset_->addItem(QString::fromUtf8(category.name));
        if (model) {
            QStandardItem* item = model->item(askPreset_->count() - 1);
            item->setFlags(item->flags() & ~(Qt::ItemIsEnabled | Qt::ItemIsSelectable));
        }
        for (const Preset& preset : category.presets)
            askPreset_->addItem(indentation(), QString::fromUtf8(preset.title),
                                QString::fromUtf8(preset.task));
    }
    askPreset_->setCurrentIndex(0);
}

void RailViewController::selectAskPreset() {
    assertMainThread();
    const int index = askPreset_->currentIndex();
    if (index < 0)
        return;
    const QVariant task = askPreset_->itemData(index);
    if (!task.isValid() || task.typeId() != QMetaType::QString)
        return;
    askField_->setText(task.toString());
    askResult_->setText(QString());
    refresh();
}

void RailViewController::submitAsk() {
    assertMainThread();
    // A disabled field and button mean a question is on its way.
    if (!askButton_->isEnabled() || !askField_->isEnabled())
        return;
    const QString task = text::trimmed(askField_->text());
    if (text::characterCount(task) < 3) {
        // Said when it appears; pressed again, the line still says it and nothing new is said.
        const bool shown = askResult_->sourceText() == ct::askTooShort;
        askResult_->setText(ct::askTooShort);
        refresh();
        if (!shown)
            announce(askResult_->spokenText());
        return;
    }
    askResult_->setText(ct::askFinding);
    refresh();
    // The answer line, showing "Finding the best model…", is laid out at once to take the keyboard.
    layoutIfNeeded();
    askHold_.hold({askField_, askButton_}, askResult_, {askPreset_, askField_, askButton_});
    askField_->setEnabled(false);
    askButton_->setEnabled(false);
    if (onAsk)
        onAsk(task);
}

void RailViewController::releaseAskKeyboard() {
    askField_->setEnabled(true);
    askButton_->setEnabled(true);
    askHold_.release();
}

void RailViewController::openAskQuillmere() {
    assertMainThread();
    if (connectorMode_) {
        enterMode(false, false);
        return;
    }
    if (expanded_)
        return;
    enterMode(false, true);
    std::weak_ptr<bool> alive = alive_;
    QTimer::singleShot(0, this, [this, alive] {
        if (alive.expired() || !root_ || !root_->window()->isVisible())
            return;
        askPreset_->setFocus(Qt::OtherFocusReason);
    });
    announce(ct::askOpenedAnnouncement);
}

} // namespace quillmere
