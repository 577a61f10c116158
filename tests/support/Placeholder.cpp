namespace corvane::test {}
