#pragma once

#include "ui/ItemTreeModel.h"
#include "ui/LabelValueModel.h"
#include "ui/NetworkTableModel.h"

#include <QWidget>

class QTabWidget;

namespace nerova {

class Agent;
class ItemTreeView;
class LabelValueView;
class NetworkTableView;

// The status window "Nerova Agent": the tabs Agent, Machine, Interfaces, Addresses, Fingerprints
// and Evaluation, each a view over a model that follows the agent's change signals. Closing the
// window hides it; the application keeps running.
class StatusWindow : public QWidget {
    Q_OBJECT

public:
    enum Tab { agentTab, machineTab, interfacesTab, addressesTab, fingerprintsTab, evaluationTab };

    explicit StatusWindow(Agent& agent, QWidget* parent = nullptr);

    // Shows the window when it is hidden; in every case raises it and asks for the focus.
    void present();

    QTabWidget& tabs() { return *tabs_; }
    LabelValueModel& agentModel() { return agentModel_; }
    LabelValueModel& machineModel() { return machineModel_; }
    NetworkTableModel& interfacesModel() { return interfacesModel_; }
    NetworkTableModel& addressesModel() { return addressesModel_; }
    ItemTreeModel& fingerprintsModel() { return fingerprintsModel_; }
    ItemTreeModel& evaluationModel() { return evaluationModel_; }
    NetworkTableView& interfacesView() { return *interfacesView_; }
    NetworkTableView& addressesView() { return *addressesView_; }
    ItemTreeView& fingerprintsView() { return *fingerprintsView_; }
    ItemTreeView& evaluationView() { return *evaluationView_; }
    LabelValueView& agentView() { return *agentView_; }
    LabelValueView& machineView() { return *machineView_; }

private:
    void updateMachine();
    void updateContext();
    void updateFingerprints();
    void updateEvaluation();

    Agent& agent_;
    LabelValueModel agentModel_;
    LabelValueModel machineModel_;
    NetworkTableModel interfacesModel_;
    NetworkTableModel addressesModel_;
    ItemTreeModel fingerprintsModel_;
    ItemTreeModel evaluationModel_;
    QTabWidget* tabs_;
    LabelValueView* agentView_;
    LabelValueView* machineView_;
    NetworkTableView* interfacesView_;
    NetworkTableView* addressesView_;
    ItemTreeView* fingerprintsView_;
    ItemTreeView* evaluationView_;
};

} // namespace nerova
