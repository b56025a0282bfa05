// Members of GCP's error bodies and Operation resources that the analysis
// reads.
#pragma once

#define GCP_REST_API_JSON_RESP_KEY_ERROR_MSGS "errors"
#define GCP_REST_API_JSON_RESP_KEY_ERROR_REASON "reason"
#define GCP_REST_API_JSON_RESP_KEY_MESSAGE "message"
#define GCP_REST_API_ERROR_REASON_BACKEND_ERROR "backendError"
#define GCP_REST_API_ERROR_CODE_BACKEND_ERROR 503
#define GCP_REST_API_JSON_RESP_VALUE_NULL "null"
#define GCP_REST_API_JSON_RESP_VALUE_TRUE "true"
#define GCP_REST_API_JSON_RESP_VALUE_FALSE "false"
#define GCP_REST_API_HTTP_ERROR_CODE_FIELD "httpErrorStatusCode"
