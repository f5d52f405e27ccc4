// The table types of corlune: a matrix is a vector of rows, row-major, as the
// grouping's result tables, the tracker's tables and the toolkit's readers
// hold them ([frame][channel], [frame][candidate], ...).
//
//     Matrix mask(nframes, std::vector<double>(nchans, 0.0));
//     IntMatrix labels(nframes, std::vector<int>(2, 0));
#pragma once

#include <vector>

using Matrix = std::vector<std::vector<double>>;
using IntMatrix = std::vector<std::vector<int>>;
