#include "ui/StatusWindow.h"

#include "agent/Agent.h"
#include "agent/ReportingPolicy.h"
#include "ui/ActivityTableModel.h"
#include "ui/ActivityView.h"
#include "ui/Appearance.h"
#include "ui/EvaluationTree.h"
#include "ui/FingerprintTree.h"
#include "ui/ItemTreeModel.h"
#include "ui/ItemTreeView.h"
#include "ui/LabelValueModel.h"
#include "ui/LabelValueView.h"
#include "ui/NetworkTableModel.h"
#include "ui/NetworkTableView.h"
#include "ui/PrivacyModel.h"
#include "ui/PrivacyView.h"
#include "ui/StatusRows.h"
#include "ui/SymbolIcon.h"

#include <QAbstractItemView>
#include <QHeaderView>
#include <QShortcut>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace nerova {

namespace {

// Names `object`, a child of the window, for those who look for it.
template <typename T>
T* named(T* object, const char* name)
{
    object->setObjectName(QLatin1String(name));
    return object;
}

} // namespace

StatusWindow::StatusWindow(Agent& agent, QWidget* parent)
    : QWidget(parent),
      agent_(agent),
      agentModel_(named(new LabelValueModel([&agent] { return agentRows(agent); }, this), "agentModel")),
      machineModel_(named(new LabelValueModel([&agent] { return machineRows(agent); }, this), "machineModel")),
      interfacesModel_(named(new NetworkTableModel(NetworkTableModel::Content::interfaces, this), "interfacesModel")),
      addressesModel_(named(new NetworkTableModel(NetworkTableModel::Content::addresses, this), "addressesModel")),
      fingerprintsModel_(named(new ItemTreeModel({tr("Fingerprint"), tr("Inverted")}, 1, this), "fingerprintsModel")),
      evaluationModel_(
          named(new ItemTreeModel({tr("Test"), tr("Result"), tr("Observed")}, -1, this), "evaluationModel")),
      privacyModel_(
          named(new PrivacyModel([&agent] { return PrivacyFacts::read(agent.settings(), agent.reportingPolicy()); }, this), "privacyModel"))
{
    installAccessibility();
    setWindowTitle(QStringLiteral("Nerova Agent"));
    setAccessibleName(windowTitle());
    tabs_ = named(new QTabWidget, "tabs");
    // Every tab title shows whole: no scroll arrows that hide the first tabs; a window made
    // narrower than the titles shortens them at their ends.
    tabs_->setUsesScrollButtons(false);
    tabs_->setElideMode(Qt::ElideRight);
    auto* agentView = named(new LabelValueView(*agentModel_), "agentView");
    auto* machineView = named(new LabelValueView(*machineModel_), "machineView");
    auto* interfacesView = named(new NetworkTableView(*interfacesModel_, false), "interfacesView");
    auto* addressesView = named(new NetworkTableView(*addressesModel_, true), "addressesView");
    fingerprintsView_ = named(new ItemTreeView(*fingerprintsModel_), "fingerprintsView");
    evaluationView_ = named(new ItemTreeView(*evaluationModel_), "evaluationView");
    tabs_->addTab(agentView, symbolIcon(QStringLiteral("key")), tr("Agent"));
    tabs_->addTab(machineView, tr("Machine"));
    tabs_->addTab(interfacesView, symbolIcon(QStringLiteral("cable.connector")), tr("Interfaces"));
    tabs_->addTab(addressesView, symbolIcon(QStringLiteral("globe")), tr("Addresses"));
    tabs_->addTab(fingerprintsView_, symbolIcon(QStringLiteral("list.number")), tr("Fingerprints"));
    tabs_->addTab(evaluationView_, symbolIcon(QStringLiteral("checklist")), tr("Evaluation"));
    auto* activityModel = named(new ActivityTableModel(agent.activityRecord(), this), "activityModel");
    tabs_->addTab(named(new ActivityView(*activityModel), "activityView"), tr("Activity"));
    tabs_->addTab(named(new PrivacyView(*privacyModel_), "privacyView"), tr("Privacy"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    for (int tab = 0; tab < tabs_->count(); ++tab) { // tables and trees are named after their tab
        for (QAbstractItemView* view : tabs_->widget(tab)->findChildren<QAbstractItemView*>()) {
            if (qobject_cast<QHeaderView*>(view)) {
                continue;
            }
            view->setAccessibleName(tabs_->tabText(tab));
            view->setTabKeyNavigation(false); // Tab leaves the table; the arrow keys move within
        }
    }
    const auto key = [this](QList<QKeySequence> keys, auto function) {
        auto* shortcut = new QShortcut(this);
        shortcut->setKeys(keys);
        connect(shortcut, &QShortcut::activated, this, function);
    };
    key({QKeySequence(Qt::CTRL | Qt::Key_R)}, [this] { agent_.refresh(); });
    key({QKeySequence(Qt::CTRL | Qt::Key_W), QKeySequence(Qt::Key_Escape)}, [this] { close(); });
    // Ctrl+Tab and Ctrl+PgDn go to the next tab, whichever part of the window has the focus.
    const auto step = [this](int by) {
        tabs_->setCurrentIndex((tabs_->currentIndex() + by + tabs_->count()) % tabs_->count());
    };
    key(QKeySequence::keyBindings(QKeySequence::NextChild) << QKeySequence(Qt::CTRL | Qt::Key_PageDown),
        [step] { step(1); });
    key(QKeySequence::keyBindings(QKeySequence::PreviousChild) << QKeySequence(Qt::CTRL | Qt::Key_PageUp),
        [step] { step(-1); });

    const auto refreshAgent = [this] { agentModel_->refresh(); };
    connect(&agent, &Agent::lastCheckinChanged, this, refreshAgent);
    connect(&agent, &Agent::lastPresenceCheckChanged, this, refreshAgent);
    connect(&agent, &Agent::lastPresenceSendChanged, this, refreshAgent);
    connect(&agent, &Agent::isRegisteredChanged, this, refreshAgent);
    connect(&agent, &Agent::fingerprintChanged, this, &StatusWindow::updateMachine);
    connect(&agent.reportingPolicy(), &ReportingPolicy::changed, this, &StatusWindow::updateMachine);
    connect(&agent, &Agent::contextChanged, this, &StatusWindow::updateContext);
    connect(&agent, &Agent::fingerprintFileChanged, this, &StatusWindow::updateFingerprints);
    connect(&agent, &Agent::contextHandled, this, &StatusWindow::updateEvaluation);
    connect(&agent, &Agent::fingerprintChanged, this, &StatusWindow::updateEvaluation);
    // The policy is read again whenever the Privacy tab comes up.
    connect(tabs_, &QTabWidget::currentChanged, this, [this](int tab) {
        if (tab == privacyTab) {
            privacyModel_->refresh();
        }
    });

    updateMachine();
    updateContext();
    updateFingerprints();
    updateEvaluation();
    // Wide enough for every tab title (the machine's icon included), in the user's language and font.
    const QMargins margins = layout->contentsMargins();
    resize(std::max(640, tabs_->tabBar()->sizeHint().width() + margins.left() + margins.right()), 460);
}

void StatusWindow::present()
{
    if (!isVisible()) {
        // Facts the agent does not signal (the machine's name and model, the policy) are read again on
        // showing.
        agentModel_->refresh();
        privacyModel_->refresh();
        updateMachine();
        show();
    }
    raise();
    activateWindow();
}

void StatusWindow::present(Tab tab)
{
    present();
    tabs_->setCurrentIndex(tab);
}

void StatusWindow::showEvent(QShowEvent* event)
{
    // The first size shows every tab title whole in the window's font, however large, also where the
    // font or the style changed after the window was made.
    if (!sized_) {
        sized_ = true;
        if (const int missing = tabs_->tabBar()->sizeHint().width() - tabs_->tabBar()->width(); missing > 0) {
            resize(width() + missing, height());
        }
    }
    QWidget::showEvent(event);
}

void StatusWindow::updateMachine()
{
    machineModel_->refresh();
    // The tab shows the same device symbol as the "Device type:" line, taken at each rendering.
    tabs_->setTabIcon(machineTab, symbolIcon(agent_.machineState().deviceSymbol()));
}

void StatusWindow::updateContext()
{
    machineModel_->refresh(); // its peripherals
    interfacesModel_->setContext(agent_.context());
    addressesModel_->setContext(agent_.context());
}

void StatusWindow::updateFingerprints()
{
    const std::optional<FingerprintFile>& file = agent_.fingerprintFile();
    fingerprintsModel_->setNodes(file ? fingerprinttree::nodes(*file) : std::vector<ItemNode>());
    fingerprintsView_->setHeading(file ? std::optional(fingerprinttree::versionText(*file)) : std::nullopt);
}

void StatusWindow::updateEvaluation()
{
    const std::optional<AgentEvaluation>& evaluation = agent_.lastEvaluation();
    evaluationModel_->setNodes(evaluation ? evaluationNodes(evaluation->explanation) : std::vector<ItemNode>());
    if (!evaluation) {
        evaluationView_->setHeading(std::nullopt);
        return;
    }
    QString verdict =
        evaluation->match ? tr("Matched: %1").arg(evaluation->match->name) : tr("No fingerprint matched.");
    if (evaluation->error) {
        verdict = tr("The evaluation failed: %1").arg(*evaluation->error);
    }
    evaluationView_->setHeading(tr("Last evaluation: %1. %2").arg(shortDateTime(agent_.lastPresenceCheck()), verdict));
}

} // namespace nerova
