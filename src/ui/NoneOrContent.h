#pragma once

class QStackedLayout;
class QWidget;

namespace nerova {

// The layout of a tab that shows either the text "None" (page 0) or its `content` (page 1).
QStackedLayout* makeNoneOrContent(QWidget& tab, QWidget* content);

} // namespace nerova
