#pragma once

#include <glib-object.h>

#include <memory>

namespace tessaly::workbook {

// Owns one reference to a GObject (libgsf's inputs and infiles) and drops it when it goes.
struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

} // namespace tessaly::workbook
