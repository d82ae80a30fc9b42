// Every user-visible text of corvanti.wrapper's serialisation, HTTP, row and
// upload helpers: log lines, exception messages, wire keys and values,
// request headers and docstrings.
#pragma once

namespace wrapper::msg {

// ---- module globals ----------------------------------------------------------
inline constexpr const char* kLoggerName = "corvanti.wrapper";
inline constexpr long kMaxErrorText = 200;  // _MAX_ERROR_TEXT

// ---- log lines (lazy %-form; the exception is the one argument) ------------
inline constexpr const char* kCouldNotSerialize = "[corvanti] Could not serialize ";
inline constexpr const char* kPipelineFailed = "[corvanti] validate() provenance: pipeline creation failed: %s";
inline constexpr const char* kNodeBatchFailed = "[corvanti] validate() provenance: node batch failed: %s";
inline constexpr const char* kEdgeBatchFailed = "[corvanti] validate() provenance: edge batch failed: %s";
inline constexpr const char* kResultsFailed = "[corvanti] validate() provenance: results upload failed: %s";
inline constexpr const char* kValuesBatchFailed = "[corvanti] validate() provenance: values batch failed: %s";

// ---- exception messages ---------------------------------------------------------
// RuntimeError for an HTTP error status: "HTTP <code> from <url>: <text>".
inline constexpr const char* kHttpErrorPost = "HTTP %S from %U: %U";
inline constexpr const char* kHttpErrorPatch = "HTTP %S (PATCH) from %U: %U";
// ValueError for a URL that is not http or https (raised before any I/O).
inline constexpr const char* kBadScheme =
    "URL scheme '%U' is not allowed: only http and https URLs are opened";

// ---- HTTP headers ----------------------------------------------------------------
inline constexpr const char* kBearer = "Bearer ";
inline constexpr const char* kJsonType = "application/json";
inline constexpr const char* kUserAgent = "corvanti-python-client/1.0";

// ---- service paths and wire values ----------------------------------------------
inline constexpr const char* kPathPipelines = "/v1/pipelines";
inline constexpr const char* kPathPipelinesSlash = "/v1/pipelines/";
inline constexpr const char* kPathSources = "/v1/sources";
inline constexpr const char* kPathNodes = "/v1/nodes";
inline constexpr const char* kPathEdges = "/v1/edges";
inline constexpr const char* kPathResults = "/v1/results";
inline constexpr const char* kPathValues = "/v1/values";
inline constexpr const char* kSource = "source";
inline constexpr const char* kValidation = "validation";
inline constexpr const char* kComputation = "computation";
inline constexpr const char* kSourceFeature = "source_feature";
inline constexpr const char* kSourceProtected = "source_protected";
inline constexpr const char* kModelValidate = "model_validate";
inline constexpr const char* kOutput = "output";
inline constexpr const char* kValidationComplete = "validation_complete";
inline constexpr const char* kVersionSep = "_v";
inline constexpr const char* kRowKeyMid = "_model_validate_";
inline constexpr const char* kDefaultFeaturePrefix = "feature";
inline constexpr const char* kProtectedPrefix = "protected";

// ---- docstrings (first line: the signature for inspect) ------------------------
inline constexpr const char* kDocFastDumps =
    "_fast_dumps(obj, default=None, sort_keys=False)\n--\n\n"
    "Serialise obj to a JSON str with the fastest available backend.\n\n"
    "orjson when installed (compact output, non-ASCII kept), else the standard\n"
    "json module (default separators, non-ASCII escaped). sort_keys orders the\n"
    "keys of every object; default is called for values the backend cannot\n"
    "encode.";
inline constexpr const char* kDocFastLoads =
    "_fast_loads(s)\n--\n\n"
    "Decode a JSON document (str or bytes) with the selected backend.";
inline constexpr const char* kDocSanitizeValue =
    "_sanitize_value(v)\n--\n\n"
    "Return None for a non-finite float (NaN, +inf, -inf), else v unchanged.";
inline constexpr const char* kDocSanitizeList =
    "_sanitize_list(lst)\n--\n\n"
    "New list with every non-finite float of lst replaced by None (one level).";
inline constexpr const char* kDocSanitizeRows =
    "_sanitize_rows(rows)\n--\n\n"
    "New list of new row lists with non-finite floats replaced by None.";
inline constexpr const char* kDocSerialize =
    "_serialize(arr)\n--\n\n"
    "Turn a DataFrame, Series, ndarray, sparse matrix or sequence into a\n"
    "JSON-ready dict with one key (\"dataframe\", \"series\", \"ndarray\" or\n"
    "\"list\"). Non-finite floats become None. Returns None (after a warning)\n"
    "when the object cannot be serialised.";
inline constexpr const char* kDocContentHash =
    "_content_hash(*parts)\n--\n\n"
    "Content-addressable 32-bit hash for DAG node identification.\n\n"
    "This is NOT a TESSEL-32 provenance fingerprint: it is a simple hash used to\n"
    "generate stable node ids from (operation, model, column) tuples for the\n"
    "lightweight provenance sync path. The parts are joined with \"|\" after\n"
    "str(); the result is the first 4 bytes of the MD5 digest of that text,\n"
    "big-endian, as an int in 0 .. 2**32 - 1.";
inline constexpr const char* kDocModelHash =
    "_compute_model_hash(model)\n--\n\n"
    "SHA-256 hex digest of pickle.dumps(model), or None when the model cannot\n"
    "be pickled.";
inline constexpr const char* kDocPostJson =
    "_post_json(url, api_key, payload, timeout=120)\n--\n\n"
    "POST payload as JSON to url with bearer authentication and return the\n"
    "decoded JSON object (dict, or None for a JSON null).\n\n"
    "Only http and https URLs are opened (ValueError otherwise). An HTTP error\n"
    "status raises RuntimeError with the start of the response text.";
inline constexpr const char* kDocPatchJson =
    "_patch_json(url, api_key, payload, timeout=30)\n--\n\n"
    "PATCH the dict payload as JSON to url with bearer authentication and\n"
    "return the decoded JSON object (dict, or None for a JSON null).\n\n"
    "Only http and https URLs are opened (ValueError otherwise). An HTTP error\n"
    "status raises RuntimeError with the start of the response text.";
inline constexpr const char* kDocCn =
    "_cn(X, fallback_prefix='feature')\n--\n\n"
    "Column names of X: str() of a DataFrame's labels, else\n"
    "fallback_prefix_0, fallback_prefix_1, ... (one per column of a 2-D array).";
inline constexpr const char* kDocRc =
    "_rc(X)\n--\n\n"
    "Row count of X: len(X), else the first dimension of numpy.asarray(X), else 0.";
inline constexpr const char* kDocTrd =
    "_trd(X, cols)\n--\n\n"
    "Rows of X as dicts keyed by the names in cols.";
inline constexpr const char* kDocFo =
    "_fo(outputs, n)\n--\n\n"
    "Model outputs as a flat list, one per row (the last column of a 2-D\n"
    "array; n times None for None).";
inline constexpr const char* kDocGs =
    "_gs(val)\n--\n\n"
    "Split a value into (number, text): (float, None) for numbers (None for\n"
    "NaN), (None, str(val)[:255]) for anything else, (None, None) for None.";
inline constexpr const char* kDocRh =
    "_rh(row_dict)\n--\n\n"
    "SHA-256 hex digest of the row's JSON text (sorted keys), or '' when the\n"
    "row cannot be serialised.";
inline constexpr const char* kDocSyncProv =
    "_sync_prov(X, y, protected_data, protected_columns, model_name, model_version, "
    "api_key, service_url, model_id='')\n--\n\n"
    "Upload the provenance of one model validation run to the service: a\n"
    "pipeline, one source node per input and protected column, the model\n"
    "node, their edges, one result per row and the per-row values; then mark\n"
    "the pipeline \"validation_complete\". Failed requests are logged and\n"
    "skipped; a failed pipeline creation ends the upload. Returns None.";

}  // namespace wrapper::msg
