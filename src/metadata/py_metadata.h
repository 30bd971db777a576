#pragma once
// Python values to metadata: the conversion records and filters share.

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "binding/convert.h"
#include "metadata/metadata.h"

namespace orbisk {

/// A UTF-8-encodable str as String, else a value that converts to a signed
/// 64-bit integer as Integer, else one that converts to a double as Float,
/// else nothing. Errors of the failed attempts are discarded, except
/// MemoryError and exceptions that are not Exceptions (KeyboardInterrupt):
/// those end the conversion, nothing returned and the error left set.
std::optional<Metadata> metadata_value(PyObject* o);

/// One value per schema name, in schema order, from (name, object) pairs in
/// which the last pair for a name wins. Pairs naming no schema attribute are
/// never looked at. Sets ValueError and returns false on the first schema
/// name that is missing or whose value is unsupported.
bool convert_metadata(const std::vector<Pair>& pairs, const std::vector<std::string>& schema, MetadataRecord& out);

}  // namespace orbisk
