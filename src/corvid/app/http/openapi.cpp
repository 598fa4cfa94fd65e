#include "corvid/app/http/openapi.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <stdexcept>

#include <boost/beast/http/verb.hpp>

#include "corvid/app/application_info.hpp"

namespace corvid::app::http {
namespace {

constexpr const char* kOpenApiVersion = "3.1.0";
constexpr const char* kSchemaRef = "#/components/schemas/";

std::string method_name(boost::beast::http::verb method) {
  std::string name(boost::beast::http::to_string(method));
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name;
}

Json ref_to(std::string_view name) {
  return Json{{"$ref", std::string(kSchemaRef) + std::string(name)}};
}

// The schema of one field or parameter type, without title or default.
Json type_schema(FieldType type) {
  const auto nullable = [](Json schema) {
    return Json{{"anyOf", Json::array({std::move(schema), Json{{"type", "null"}}})}};
  };
  switch (type) {
    case FieldType::string:
      return Json{{"type", "string"}};
    case FieldType::integer:
      return Json{{"type", "integer"}};
    case FieldType::nullable_integer:
      return nullable(Json{{"type", "integer"}});
    case FieldType::boolean:
      return Json{{"type", "boolean"}};
    case FieldType::string_array:
      return Json{{"items", Json{{"type", "string"}}}, {"type", "array"}};
    case FieldType::any:
      return Json::object();
    case FieldType::nullable_string:
      return nullable(Json{{"type", "string"}});
    case FieldType::nullable_object:
      return nullable(Json{{"type", "object"}, {"additionalProperties", true}});
    case FieldType::binary:
      return Json{{"type", "string"}, {"format", "binary"}};
  }
  return Json::object();
}

Json value_schema(FieldType type, bool required, const Json& default_value, std::string title) {
  Json schema = type_schema(type);
  if (!required) schema["default"] = default_value;
  schema["title"] = std::move(title);
  return schema;
}

Json record_schema(const Record& record, const std::string& title) {
  Json properties = Json::object();
  Json required = Json::array();
  for (const Field& field : record.fields) {
    properties[field.name] =
        value_schema(field.type, field.required, field.default_value, title_of(field));
    if (!field.required) continue;
    required.push_back(field.name);
  }
  Json schema = Json::object();
  schema["properties"] = std::move(properties);
  schema["type"] = "object";
  if (!required.empty()) schema["required"] = std::move(required);
  schema["title"] = title;
  return schema;
}

Json validation_schemas_http() {
  Json detail = Json::object();
  detail["items"] = ref_to("ValidationError");
  detail["type"] = "array";
  detail["title"] = "Detail";
  Json schema = Json::object();
  schema["properties"] = Json{{"detail", detail}};
  schema["type"] = "object";
  schema["title"] = "HTTPValidationError";
  return schema;
}

Json validation_schema_entry() {
  Json loc = Json::object();
  loc["items"] =
      Json{{"anyOf", Json::array({Json{{"type", "string"}}, Json{{"type", "integer"}}})}};
  loc["type"] = "array";
  loc["title"] = "Location";
  Json properties = Json::object();
  properties["loc"] = loc;
  properties["msg"] = Json{{"type", "string"}, {"title", "Message"}};
  properties["type"] = Json{{"type", "string"}, {"title", "Error Type"}};
  properties["input"] = Json{{"title", "Input"}};
  properties["ctx"] = Json{{"type", "object"}, {"title", "Context"}};
  Json schema = Json::object();
  schema["properties"] = std::move(properties);
  schema["type"] = "object";
  schema["required"] = Json::array({"loc", "msg", "type"});
  schema["title"] = "ValidationError";
  return schema;
}

// "text/html; charset=utf-8" -> "text/html".
std::string media_type(std::string_view content_type) {
  std::string_view media = content_type.substr(0, content_type.find(';'));
  while (!media.empty() && media.back() == ' ') media.remove_suffix(1);
  return media.empty() ? std::string("application/json") : std::string(media);
}

bool documented(const Route& route) { return route.kind == RouteKind::http && route.in_schema; }

}  // namespace

ApiInfo default_api_info() {
  return ApiInfo{std::string(kAppTitle), std::string(kAppDescription), std::string(kAppVersion),
                 std::string(kApiKeyDescription)};
}

std::string operation_id(const Route& route) {
  std::string id = route.operation + route.path;
  for (char& c : id) {
    const auto u = static_cast<unsigned char>(c);
    if (!std::isalnum(u) && c != '_') c = '_';
  }
  return id + "_" + method_name(route.method);
}

Json build_openapi(std::span<const Route> routes, const ApiInfo& info) {
  Json paths = Json::object();
  // Component schemas, sorted by name as generated documents usually list them.
  std::map<std::string, Json> schemas;
  bool any_validation = false;

  for (const Route& route : routes) {
    if (!documented(route)) continue;
    const std::string id = operation_id(route);
    Json op = Json::object();
    if (!route.tags.empty()) op["tags"] = route.tags;
    op["summary"] = route.summary.empty() ? title_of(route.operation) : route.summary;
    if (!route.description.empty()) op["description"] = route.description;
    op["operationId"] = id;

    if (!route.params.empty()) {
      Json parameters = Json::array();
      for (const Param& param : route.params) {
        Json p = Json::object();
        p["name"] = param.name;
        p["in"] = param.in == ParamIn::query ? "query" : "path";
        p["required"] = param.required;
        p["schema"] =
            value_schema(param.type, param.required, param.default_value, title_of(param));
        parameters.push_back(std::move(p));
      }
      op["parameters"] = std::move(parameters);
    }

    if (route.body != nullptr) {
      schemas[route.body->name] = record_schema(
          *route.body, route.body->title.empty() ? route.body->name : route.body->title);
      op["requestBody"] =
          Json{{"content", Json{{"application/json", Json{{"schema", ref_to(route.body->name)}}}}},
               {"required", true}};
    } else if (route.upload) {
      const std::string body_name = "Body_" + id;
      schemas[body_name] = record_schema(records::upload_form(), body_name);
      op["requestBody"] =
          Json{{"content", Json{{"multipart/form-data", Json{{"schema", ref_to(body_name)}}}}},
               {"required", true}};
    }

    Json ok_schema;
    if (!route.response_record.empty()) {
      const Record* record = records::find(route.response_record);
      if (record == nullptr) {
        throw std::invalid_argument("route " + route.path + ": unknown response record " +
                                    route.response_record);
      }
      schemas[record->name] =
          record_schema(*record, record->title.empty() ? record->name : record->title);
      ok_schema = ref_to(record->name);
    } else if (media_type(route.response_type) == "application/json") {
      ok_schema = Json::object();
    } else {
      ok_schema = Json{{"type", "string"}};
    }
    Json responses = Json::object();
    responses["200"] =
        Json{{"description", "Successful Response"},
             {"content", Json{{media_type(route.response_type), Json{{"schema", ok_schema}}}}}};
    if (!route.params.empty() || route.body != nullptr || route.upload) {
      any_validation = true;
      responses["422"] = Json{
          {"description", "Validation Error"},
          {"content", Json{{"application/json", Json{{"schema", ref_to("HTTPValidationError")}}}}}};
    }
    op["responses"] = std::move(responses);
    // Every operation carries the one requirement, also those that check no key, so the docs
    // pages send the key wherever the caller entered it.
    op["security"] = Json::array({Json{{std::string(kSecuritySchemeName), Json::array()}}});

    Json& path_item = paths[route.path];
    if (path_item.is_null()) path_item = Json::object();
    path_item[method_name(route.method)] = std::move(op);
  }

  if (any_validation) {
    schemas["HTTPValidationError"] = validation_schemas_http();
    schemas["ValidationError"] = validation_schema_entry();
  }

  Json scheme = Json::object();
  scheme["type"] = std::string(kSecuritySchemeType);
  scheme["scheme"] = std::string(kSecuritySchemeScheme);
  scheme["bearerFormat"] = std::string(kSecuritySchemeBearerFormat);
  scheme["description"] = info.security_description;

  Json components = Json::object();
  Json schema_map = Json::object();
  for (auto& [name, schema] : schemas) schema_map[name] = std::move(schema);
  components["schemas"] = std::move(schema_map);
  components["securitySchemes"] = Json{{std::string(kSecuritySchemeName), std::move(scheme)}};

  Json doc = Json::object();
  doc["openapi"] = kOpenApiVersion;
  doc["info"] =
      Json{{"title", info.title}, {"description", info.description}, {"version", info.version}};
  doc["paths"] = std::move(paths);
  doc["components"] = std::move(components);
  return doc;
}

const std::string& OpenApiCache::text() {
  std::lock_guard lock(mutex_);
  if (!text_) text_ = dump_compact(build_openapi(router_.routes(), info_));
  return *text_;
}

}  // namespace corvid::app::http
