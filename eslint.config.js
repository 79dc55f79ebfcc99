// ESLint over the browser kit and its test scripts (scripts/lint.sh).
import js from "@eslint/js";
import globals from "globals";

export default [
    { ignores: ["build/", "dist/", "node_modules/", "tests/pcsc/.vpcd/", "tests/web/.debian-node/"] },
    js.configs.recommended,
    {
        files: ["web/**/*.js", "tests/web/page.js", "tests/web/tamper.js"],
        languageOptions: { globals: { ...globals.browser, chrome: "readonly" } },
    },
    {
        // Content scripts are classic scripts, not modules.
        files: ["web/extension/content_script.js", "tests/web/tamper.js"],
        languageOptions: { sourceType: "script" },
    },
    {
        files: ["tests/web/*.test.js", "eslint.config.js"],
        languageOptions: { globals: { ...globals.node } },
    },
    {
        rules: {
            "no-unused-vars": ["error", { caughtErrors: "none" }],
            eqeqeq: "error",
            "prefer-const": "error",
        },
    },
];
