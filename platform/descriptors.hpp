// How many descriptors (files, sockets, pipes) the process may open. On Linux the soft limit of
// open files bounds them: 1,024 by default, under systemd too, which is fewer than the web
// server's connections and everything else the program opens. Windows sets no such limit on
// sockets and files.
#pragma once

#include <cstddef>

// What the functions below give where no limit applies.
constexpr std::size_t kNoDescriptorLimit = static_cast<std::size_t>(-1);

// Sets the soft limit of open descriptors to wanted, or to the hard limit when wanted is larger
// (kNoDescriptorLimit: as high as allowed); start-up raises it so. Returns the soft limit in force
// afterwards, which is the old one when it could not be changed; kNoDescriptorLimit where none
// applies.
std::size_t SetDescriptorLimit(std::size_t wanted);

// How many more descriptors the process may open now: the numbers below the soft limit that no
// open descriptor takes (a new descriptor always takes the lowest free number, and the limit
// bounds the number). kNoDescriptorLimit where no limit applies.
std::size_t DescriptorsLeft();
