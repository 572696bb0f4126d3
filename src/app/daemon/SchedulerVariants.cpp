#include "app/daemon/SchedulerVariants.h"

#include <gio/gio.h>

#include "foundation/PropertyList.h"

namespace quorvel {

GVariant* VariantFromArgument(const Value& value) {
  if (value.isBool()) return g_variant_new_boolean(value.asBool());
  if (value.isString()) return g_variant_new_string(value.asString().c_str());
  if (value.isArray()) {
    GVariantBuilder strings;
    g_variant_builder_init(&strings, G_VARIANT_TYPE("as"));
    for (const Value& element : value.asArray()) {
      if (element.isString()) g_variant_builder_add(&strings, "s", element.asString().c_str());
    }
    return g_variant_builder_end(&strings);
  }
  return nullptr;
}

GVariant* VariantFromArguments(const Dictionary& arguments) {
  GVariantBuilder given;
  g_variant_builder_init(&given, G_VARIANT_TYPE("a{sv}"));
  for (const auto& [key, value] : arguments) {
    if (GVariant* variant = VariantFromArgument(value)) g_variant_builder_add(&given, "{sv}", key.c_str(), variant);
  }
  return g_variant_builder_end(&given);
}

Value ValueFromVariant(GVariant* variant) {
  if (g_variant_is_of_type(variant, G_VARIANT_TYPE_STRING)) return Value(std::string(g_variant_get_string(variant, nullptr)));
  if (g_variant_is_of_type(variant, G_VARIANT_TYPE_BOOLEAN)) return Value(static_cast<bool>(g_variant_get_boolean(variant)));
  if (g_variant_is_of_type(variant, G_VARIANT_TYPE_INT64)) return Value(static_cast<std::int64_t>(g_variant_get_int64(variant)));
  if (g_variant_is_of_type(variant, G_VARIANT_TYPE_UINT64)) return Value(static_cast<std::uint64_t>(g_variant_get_uint64(variant)));
  if (g_variant_is_of_type(variant, G_VARIANT_TYPE_UINT32)) return Value(static_cast<std::uint64_t>(g_variant_get_uint32(variant)));
  if (g_variant_is_of_type(variant, G_VARIANT_TYPE_DOUBLE)) return Value(g_variant_get_double(variant));
  return Value();
}

Dictionary DictionaryFromVariant(GVariant* dictionary) {
  Dictionary result;
  GVariantIter iter;
  const gchar* key = nullptr;
  GVariant* value = nullptr;
  g_variant_iter_init(&iter, dictionary);
  while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
    result.set(key, ValueFromVariant(value));
    g_variant_unref(value);
  }
  return result;
}

std::optional<FinishedSignal> ReadFinishedSignal(GVariant* parameters) {
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sibayas)"))) return std::nullopt;
  FinishedSignal finished;
  const gchar* uuid = nullptr;
  gboolean cancelled = FALSE;
  GVariant* bytes = nullptr;
  GVariantIter* messages = nullptr;
  gint32 command = 0;
  g_variant_get(parameters, "(&sib@ayas)", &uuid, &command, &cancelled, &bytes, &messages);
  finished.uuid = uuid;
  finished.command = command;
  finished.cancelled = cancelled;
  gsize length = 0;
  const auto* data = static_cast<const std::uint8_t*>(g_variant_get_fixed_array(bytes, &length, 1));
  if (length > 0) {
    Expected<Value> results = PropertyList::readBinary(Data(data, data + length));
    if (results && results->isDictionary()) finished.results = results->asDictionary();
  }
  const gchar* message = nullptr;
  while (g_variant_iter_next(messages, "&s", &message)) finished.errorMessages.emplace_back(message);
  g_variant_iter_free(messages);
  g_variant_unref(bytes);
  return finished;
}

}  // namespace quorvel
