// Text constants of the REST layer: fixed headers, authentication and the
// members read from token responses and error bodies.
#pragma once

// Fixed header lines of every request.
#define GCP_REST_HDR_ACCEPT "Accept:application/json"
#define GCP_REST_HDR_CONTENT_TYPE "Content-Type:application/json; charset=UTF-8"
#define GCP_REST_HDR_USER_AGENT "User-Agent:DuVavaZID"
#define GCP_REST_HDR_META_FETCH "Metadata-Flavor:Google"
#define GCP_REST_HDR_AUTHORIZATION "Authorization:"

// Base paths, appended to the configured host names.
#define GCP_REST_API_BASE_PATH_SUFFIX "/compute/v1/projects/"
#define GCP_REST_API_META_BASE_PATH_SUFFIX "/computeMetadata/v1/"
#define GCP_REST_API_PROTOCOL "https"

#define GCP_REST_API_META_GET_DEFAULT_ACCESS_TOKEN_EP "instance/service-accounts/default/token"

#define GCP_REST_API_OAUTH_REQUEST_HEADER "{\"alg\":\"RS256\",\"typ\":\"JWT\"}"
#define GCP_REST_API_OAUTH_REQUEST_CLAIMSET_ISS_KEY "{\"iss\":\""
#define GCP_REST_API_OAUTH_REQUEST_CLAIMSET_SCOPE_KEY "\"scope\":\""
#define GCP_REST_API_OAUTH_REQUEST_CLAIMSET_AUD_KEY "\"aud\":\""
#define GCP_REST_API_OAUTH_REQUEST_CLAIMSET_EXP_KEY "\"exp\":"
#define GCP_REST_API_OAUTH_REQUEST_CLAIMSET_IAT_KEY "\"iat\":"
#define GCP_REST_API_OAUTH_REQUEST_JSON_KEY_SEP "\","
#define GCP_REST_API_OAUTH_REQUEST_JSON_KEY_SEP_2 ","
#define GCP_REST_API_OAUTH_REQUEST_JSON_CLOSING_BRACE "}"
#define GCP_REST_API_OAUTH_REQUEST_PREFIX \
    "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Ajwt-bearer&assertion="
#define GCP_REST_API_OAUTH_ENCODE_STRING \
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
#define GCP_REST_API_OAUTH_SIGNATURE_BUF_LENGTH 4096
#define GCP_REST_API_OAUTH_TOKEN_LIFETIME_SEC 3600

#define GCP_REST_API_JSON_RESP_KEY_TOKEN_TYPE "token_type"
#define GCP_REST_API_JSON_RESP_KEY_ACCESS_TOKEN "access_token"
#define GCP_REST_API_JSON_RESP_KEY_EXPIRES_IN "expires_in"
#define GCP_REST_API_JSON_RESP_KEY_ERROR "error"
#define GCP_REST_API_JSON_RESP_KEY_CODE "code"
#define GCP_REST_API_JSON_RESP_KEY_STATUS "status"
#define GCP_REST_API_ERROR_CODE_UNAUTHORIZED 401
#define GCP_REST_API_ERROR_STATUS_UNAUTHENTICATED "UNAUTHENTICATED"
