namespace corvane::client {}
