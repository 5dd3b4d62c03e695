#pragma once

#include "ui/LabelValueModel.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace nerova {

class ReportingPolicy;
class Settings;

// The settings the "Privacy" tab speaks of, as set (managed first, then the user's), absent when
// not set.
struct PrivacyFacts {
    std::optional<QString> agentEndpoint;
    std::optional<QString> publicIpEndpoint;
    std::optional<QString> reportingHours;
    std::optional<QString> allowPause;
    std::optional<QString> reportPrecision;
    std::optional<QString> privacyNoticeUrl;

    // The settings, and the reporting rules as `policy` applies them.
    static PrivacyFacts read(const Settings& settings, const ReportingPolicy& policy);
};

// One paragraph of the notice under its heading.
struct PrivacySection {
    QString heading;
    QString text;
};

// The texts of the "Privacy" tab: what the agent reads, what it sends and to which service, what
// stays on the machine, the policy values in force and the company's notice. The facts are read
// again on refresh(). Every text is plain text: nothing taken from the settings is markup, except
// in linkMarkup(), which escapes it.
class PrivacyModel : public QObject {
    Q_OBJECT

public:
    explicit PrivacyModel(std::function<PrivacyFacts()> facts, QObject* parent = nullptr);

    const std::vector<PrivacySection>& sections() const { return sections_; }
    // "Reporting hours:", "Pause:" and "Report precision:" with their values.
    const std::vector<LabelValueRow>& policy() const { return policy_; }
    // The company's notice as set; empty when it is not set.
    const QString& noticeText() const { return noticeText_; }
    // A link to the notice when it is an http or https address; empty otherwise, and then the
    // notice is shown as plain text.
    const QString& linkMarkup() const { return linkMarkup_; }

    void refresh();

signals:
    void changed();

private:
    std::function<PrivacyFacts()> source_;
    std::vector<PrivacySection> sections_;
    std::vector<LabelValueRow> policy_;
    QString noticeText_;
    QString linkMarkup_;
};

} // namespace nerova
