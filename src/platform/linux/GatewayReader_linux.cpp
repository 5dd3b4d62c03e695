#include "platform/linux/GatewayReader_linux.h"

namespace nerova {

GatewayReader::GatewayReader(std::chrono::milliseconds resolveWait) : resolveWait_(resolveWait) {}

QCoro::Task<std::vector<Gateway>> GatewayReader::read() const { co_return std::vector<Gateway>{}; }

} // namespace nerova
