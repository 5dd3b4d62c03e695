#include "ui/NoneOrContent.h"

#include <QCoreApplication>
#include <QLabel>
#include <QStackedLayout>

namespace nerova {

QStackedLayout* makeNoneOrContent(QWidget& tab, QWidget* content)
{
    auto* pages = new QStackedLayout(&tab);
    auto* none = new QLabel(QCoreApplication::translate("NoneOrContent", "None"));
    none->setAlignment(Qt::AlignCenter);
    pages->addWidget(none);
    pages->addWidget(content);
    return pages;
}

} // namespace nerova
