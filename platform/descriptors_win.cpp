#include "platform/descriptors.hpp"

// Sockets and files are handles without a per-process count to raise; the server keeps its own cap.
std::size_t SetDescriptorLimit(std::size_t /*wanted*/) { return kNoDescriptorLimit; }
std::size_t DescriptorsLeft() { return kNoDescriptorLimit; }
