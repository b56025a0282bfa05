// Reading values out of GCP responses by field lists, and classifying GCP's
// error bodies.
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <sstream>

#include "gcp/gcp_utils.h"
#include "rest/response_keys.h"
#include "rest/rest_constants.h"

namespace DuVavaZid {

namespace {

constexpr int kNotFoundCode = 404;

}  // namespace

void GcpUtils::buildFieldList(const std::string& fields, std::vector<std::string>& names) {
    names.clear();
    size_t start = 0;
    for (;;) {
        size_t comma = fields.find(',', start);
        if (comma == std::string::npos) {
            names.push_back(fields.substr(start));
            return;
        }
        names.push_back(fields.substr(start, comma - start));
        start = comma + 1;
    }
}

int GcpUtils::getValueFromJSONObject(const std::string& name, const jsonxx::Object& object,
                                     std::string& value, bool& isContainer) {
    if (jsonxx::memberAsText(object, name, value, isContainer)) {
        return 0;
    }
    ctx->session().ErrCode = GCP_ERR_RESPONSE;
    ctx->session().ErrStr << "\"" << name << "\" tag not found in REST response. ";
    return GCP_ERR_RESPONSE;
}

int GcpUtils::extractFields(const jsonxx::Object& object, const char* fields, Fields& values) {
    std::vector<std::string> names;
    buildFieldList(fields, names);
    return extractValuesFromJSONObject(names, object, values);
}

int GcpUtils::readFields(const jsonxx::Object& object, const char* fields, Fields& values,
                         const std::string& prefix, const char* format) {
    return extractFields(object, fields, values) == 0 ? 0 : failResponse(prefix, format);
}

int GcpUtils::readFields(const char* fields, Fields& values, const std::string& prefix,
                         const char* format) {
    // An answer that is no JSON object has none of the fields: it fails as one
    // without them.
    jsonxx::Object answer;
    answer.parse(ctx->session().restResponse);
    return readFields(answer, fields, values, prefix, format);
}

int GcpUtils::extractValuesFromJSONObject(const std::vector<std::string>& names,
                                          const jsonxx::Object& object,
                                          std::map<std::string, std::string>& values) {
    std::string value;
    bool isContainer = false;
    for (const auto& name : names) {
        size_t slash = name.find('/');
        if (slash != std::string::npos) {
            std::string parent = name.substr(0, slash);
            if (!object.has<jsonxx::Object>(parent)) {
                continue;
            }
            int rc = getValueFromJSONObject(name.substr(slash + 1),
                                            object.get<jsonxx::Object>(parent), value, isContainer);
            if (rc != 0) {
                return rc;
            }
        } else {
            int rc = getValueFromJSONObject(name, object, value, isContainer);
            if (rc != 0) {
                return rc;
            }
        }
        if (!isContainer) {
            values[name] = value;
        }
    }
    dumpRESTKeyValueMap(values);
    return 0;
}

void GcpUtils::dumpRESTKeyValueMap(const std::map<std::string, std::string>& values) {
    if (!ctx->debugLog || ctx->debugLog->getDebugLevel() < 9) {
        return;
    }
    std::ostringstream os;
    os << "REST key-value map dump - ";
    for (const auto& kv : values) {
        if (kv.first == "password" || kv.first == "access_token") {
            bool empty = kv.second.empty() || kv.second == GCP_REST_API_JSON_RESP_VALUE_NULL;
            os << kv.first << (empty ? " [***] " : " [****] ");
        } else {
            os << kv.first << " [" << kv.second << "] ";
        }
    }
    std::string text = os.str();
    ctx->log(9, "GCP %s", text.c_str());
}

int GcpUtils::processFailedRequest(GcpObject*, GcpCtx* c) {
    jsonxx::Object response;
    response.parse(c->session().restResponse);
    if (!response.has<jsonxx::Object>(GCP_REST_API_JSON_RESP_KEY_ERROR)) {
        return GCP_ERR_INTERNAL;
    }
    jsonxx::Object error = response.get<jsonxx::Object>(GCP_REST_API_JSON_RESP_KEY_ERROR);
    if (error.has<jsonxx::Number>(GCP_REST_API_JSON_RESP_KEY_CODE)) {
        Fields values;
        if (extractFields(error, "code,message", values) != 0) {
            return GCP_ERR_INTERNAL;
        }
        c->log(0, "GCP From REST response - code [%s] message [%s]", values["code"].c_str(),
               values["message"].c_str());
        if (values["code"] == std::to_string(kNotFoundCode)) {
            c->session().restErrStr << values["message"];
            return GCP_ERR_NOT_FOUND;
        }
        return GCP_ERR_GCP;
    }
    jsonxx::Array errors = error.get<jsonxx::Array>(GCP_REST_API_JSON_RESP_KEY_ERROR_MSGS);
    if (errors.size() > 0 && errors.has<jsonxx::Object>(0)) {
        jsonxx::Object first = errors.get<jsonxx::Object>(0);
        if (first.has<jsonxx::String>(GCP_REST_API_JSON_RESP_KEY_MESSAGE)) {
            c->session().restErrStr
                << first.get<jsonxx::String>(GCP_REST_API_JSON_RESP_KEY_MESSAGE);
        }
    }
    return GCP_ERR_GCP;
}

bool GcpUtils::hasBackendError(const std::string& responseText) {
    jsonxx::Object response;
    if (!response.parse(responseText) ||
        !response.has<jsonxx::Object>(GCP_REST_API_JSON_RESP_KEY_ERROR)) {
        return false;
    }
    jsonxx::Object error = response.get<jsonxx::Object>(GCP_REST_API_JSON_RESP_KEY_ERROR);
    if (!error.has<jsonxx::Number>(GCP_REST_API_JSON_RESP_KEY_CODE) ||
        jsonxx::clampToInt32(error.get<jsonxx::Number>(GCP_REST_API_JSON_RESP_KEY_CODE)) !=
            GCP_REST_API_ERROR_CODE_BACKEND_ERROR ||
        !error.has<jsonxx::Array>(GCP_REST_API_JSON_RESP_KEY_ERROR_MSGS)) {
        return false;
    }
    jsonxx::Array errors = error.get<jsonxx::Array>(GCP_REST_API_JSON_RESP_KEY_ERROR_MSGS);
    for (size_t i = 0; i < errors.size(); ++i) {
        jsonxx::Object element = errors.get<jsonxx::Object>(i);
        if (!element.has<jsonxx::String>(GCP_REST_API_JSON_RESP_KEY_ERROR_REASON)) {
            return false;
        }
        if (element.get<jsonxx::String>(GCP_REST_API_JSON_RESP_KEY_ERROR_REASON) ==
            GCP_REST_API_ERROR_REASON_BACKEND_ERROR) {
            ctx->log(-1, "GCP Received backend error in JSON response");
            return true;
        }
    }
    return false;
}

void GcpUtils::setErrorDetailsForSnapObj(GcpObject* object, GcpCtx* c, int code,
                                         const char* message) {
    if (!object || !object->snapInfo) {
        return;
    }
    int hostCode = hostErrorForOp(c->OpCode, code, c->session().ErrCode);
    std::string text = message ? std::string(message) : c->errText();
    object->snapInfo->setError(hostCode, text.c_str());
}

void extractJSONxxArrayElements(const jsonxx::Object& object, const std::string& name,
                                std::vector<std::string>& out) {
    out.clear();
    if (!object.has<jsonxx::Array>(name)) {
        return;
    }
    jsonxx::Array elements = object.get<jsonxx::Array>(name);
    for (size_t i = 0; i < elements.size(); ++i) {
        // GCP lists strings here; anything else is skipped rather than trusted.
        if (elements.has<jsonxx::String>(i)) {
            out.push_back(elements.get<jsonxx::String>(i));
        }
    }
}

}  // namespace DuVavaZid
