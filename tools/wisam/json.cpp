// json.cpp - reading JSON text: schemas, JSON arrays and JSON lines.
#include "schema.h"

namespace wisam::tool {

bool parseJson(const std::string &text, nlohmann::ordered_json &json, std::string &error) {
    try {
        json = nlohmann::ordered_json::parse(text);
        return true;
    } catch (const nlohmann::ordered_json::exception &e) {
        error = std::string("not JSON: ") + e.what();
        return false;
    }
}

}  // namespace wisam::tool
