#include "filter/filter.h"

#include <utility>

namespace orbisk {

Filter make_filter(std::string attribute, Metadata value) {
    auto predicate =
        std::make_shared<const Predicate>([wanted = std::move(value)](const Metadata& v) { return v == wanted; });
    return Filter{std::move(attribute), std::move(predicate)};
}

std::variant<std::size_t, LookupError> attribute_position(const Schema& schema, std::string_view attribute) {
    if (!schema) return LookupError::NoSchema;
    if (schema->empty()) return LookupError::EmptySchema;
    for (std::size_t i = 0; i < schema->size(); ++i) {
        if ((*schema)[i] == attribute) return i;
    }
    return LookupError::NotFound;
}

}  // namespace orbisk
