#include "ui/NoneOrContent.h"

#include <QLabel>
#include <QStackedLayout>

namespace nerova {

QStackedLayout* makeNoneOrContent(QWidget& tab, QWidget* content)
{
    auto* pages = new QStackedLayout(&tab);
    auto* none = new QLabel(QStringLiteral("None"));
    none->setAlignment(Qt::AlignCenter);
    pages->addWidget(none);
    pages->addWidget(content);
    return pages;
}

} // namespace nerova
