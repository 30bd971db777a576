// The graph index: its construction and its error names. The rest lives in
// one file per seam, each listing at its top the exact shortcuts it takes:
//  walk.cpp        the walk of one layer, W, and the search's descent;
//  neighbours.cpp  the batch of neighbours: taken, screened, computed,
//                  admitted;
//  insert.cpp      insertion: levels, links, rollback, create.
// scratch.h holds the working memory they share.

#include "hnsw/graph.h"

#include <cmath>

namespace orbisk {

std::string_view name(HNSWError e) {
    switch (e) {
        case HNSWError::InvalidEF: return "InvalidEF";
        case HNSWError::InvalidLayer: return "InvalidLayer";
        case HNSWError::NoSchema: return "NoSchema";
        case HNSWError::EmptySchema: return "EmptySchema";
        case HNSWError::AttributeNotFound: return "AttributeNotFound";
        case HNSWError::EmptyVectors: return "EmptyVectors";
        case HNSWError::InvalidNodeID: return "InvalidNodeID";
    }
    return "HNSWError";
}

HNSW::HNSW(HNSWParams params)
    : params_(std::move(params)), metric_(params_.metric, params_.isa), visit_(&visit_kernels(params_.isa)) {
    for (std::uint32_t i = 0; i < params_.layers; ++i) {
        const double w = std::exp(-static_cast<double>(i));
        if (w == 0.0) break;  // this and every later weight add nothing
        weights_.push_back(w);
    }
}

HNSW::HNSW(HNSW&& o) noexcept
    : params_(std::move(o.params_)),
      metric_(o.metric_),
      visit_(o.visit_),
      weights_(std::move(o.weights_)),
      vectors_(std::move(o.vectors_)),
      levels_(std::move(o.levels_)),
      links_(std::move(o.links_)),
      norms_(std::move(o.norms_)),
      codes_(std::move(o.codes_)),
      infos_(std::move(o.infos_)),
      scales_(std::move(o.scales_)),
      metadata_(std::move(o.metadata_)),
      top_other_(o.top_other_),
      at_least_(std::move(o.at_least_)),
      counted_(o.counted_),
      link_marks_(std::move(o.link_marks_)),
      spare_(o.spare_.exchange(nullptr)) {}

}  // namespace orbisk
