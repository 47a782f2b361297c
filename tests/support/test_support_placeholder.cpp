// Keeps the test-support library non-empty until shared test helpers land here.
