#include "app/catalog/http_manifest_loader.hpp"

#include <utility>

#include "app/http/http_error.hpp"

namespace tarnel {

ManifestLoader httpManifestLoader(const HttpClient& client) {
    return [&client](const ManifestRequest& request, std::stop_token stop) {
        HttpRequest http;
        http.url = request.url;
        http.method = request.method;
        http.headers = request.headers;
        http.timeoutSeconds = std::chrono::duration<double>(request.timeout).count();
        http.bodyLimit = request.bodyLimit;
        http.followRedirects = request.followRedirects;
        http.bodyOnlyForStatus = request.bodyStatus;

        ManifestResponse response;
        try {
            HttpResponse answer = client.perform(http, std::move(stop));
            response.status = answer.status;
            response.headers = std::move(answer.headers);
            response.body = std::move(answer.body);
        } catch (const HttpTransportError& error) {
            throw ManifestTransportError(error.message());
        } catch (const HttpBodyTooLargeError& error) {
            response.status = error.status();
            response.headers = error.headers();
            response.bodyOverLimit = true;
        }
        return response;
    };
}

}  // namespace tarnel
