#pragma once

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

namespace skrib::service::test {

using Json = nlohmann::json;

/// The response body as JSON; a null value (and a test failure) when there is no response or
/// the body is not JSON.
inline Json jsonOf(const httplib::Result& result) {
    if (!result) {
        ADD_FAILURE() << "no response: " << httplib::to_string(result.error());
        return nullptr;
    }
    Json body = Json::parse(result->body, nullptr, false);
    if (body.is_discarded()) {
        ADD_FAILURE() << "not JSON: " << result->body;
        return nullptr;
    }
    return body;
}

/// Posts an upload as the program does.
inline httplib::Result postUpload(httplib::Client& client, const std::string& deviceId,
                                  const Upload& upload) {
    return client.Post("/process", {{"x-device-id", deviceId}}, upload.body,
                       upload.contentType().c_str());
}

/// Expects an error answer: the status and an "error" text containing `fragment`.
inline void expectError(const httplib::Result& result, int status, const std::string& fragment) {
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    EXPECT_EQ(result->status, status) << result->body;
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    const Json body = jsonOf(result);
    ASSERT_TRUE(body.is_object()) << result->body;
    ASSERT_TRUE(body.contains("error") && body["error"].is_string()) << result->body;
    EXPECT_NE(body["error"].get<std::string>().find(fragment), std::string::npos)
        << "error text: " << body["error"];
}

} // namespace skrib::service::test
