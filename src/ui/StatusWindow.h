#pragma once

#include <QWidget>

class QTabWidget;

namespace nerova {

class Agent;
class ItemTreeModel;
class ItemTreeView;
class LabelValueModel;
class NetworkTableModel;
class PrivacyModel;

// The status window "Nerova Agent": the tabs Agent, Machine, Interfaces, Addresses, Fingerprints,
// Evaluation, Activity and Privacy, each a view over a model that follows the agent's change
// signals. Closing the window hides it; the application keeps running.
class StatusWindow : public QWidget {
    Q_OBJECT

public:
    enum Tab {
        agentTab,
        machineTab,
        interfacesTab,
        addressesTab,
        fingerprintsTab,
        evaluationTab,
        activityTab,
        privacyTab
    };

    explicit StatusWindow(Agent& agent, QWidget* parent = nullptr);

    // Shows the window when it is hidden; in every case raises it and asks for the focus.
    void present();
    // The same, on `tab`.
    void present(Tab tab);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void updateMachine();
    void updateContext();
    void updateFingerprints();
    void updateEvaluation();

    Agent& agent_;
    // Children of the window, found by the names below.
    LabelValueModel* agentModel_;        // "agentModel", shown by "agentView"
    LabelValueModel* machineModel_;      // "machineModel", shown by "machineView"
    NetworkTableModel* interfacesModel_; // "interfacesModel", shown by "interfacesView"
    NetworkTableModel* addressesModel_;  // "addressesModel", shown by "addressesView"
    ItemTreeModel* fingerprintsModel_;   // "fingerprintsModel", shown by "fingerprintsView"
    ItemTreeModel* evaluationModel_;     // "evaluationModel", shown by "evaluationView"
    PrivacyModel* privacyModel_;         // "privacyModel", shown by "privacyView"
    QTabWidget* tabs_;                   // "tabs"
    ItemTreeView* fingerprintsView_;
    ItemTreeView* evaluationView_;
    bool sized_ = false; // the first showing has fitted the width to the tab titles
};

} // namespace nerova
