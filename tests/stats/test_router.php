<?php
// Test front of the report server: records the request's headers, sets a cookie, and offers a
// failing path, a redirecting path and a path that holds the request until the test releases it.

$path = (string)parse_url($_SERVER['REQUEST_URI'] ?? '/', PHP_URL_PATH);
$logDir = getenv('TEST_LOG_DIR');

file_put_contents($logDir . '/requests.log', json_encode([
    'path' => $path,
    'accept' => $_SERVER['HTTP_ACCEPT'] ?? null,
    'cookie' => $_SERVER['HTTP_COOKIE'] ?? null,
    'expect' => $_SERVER['HTTP_EXPECT'] ?? null,
], JSON_UNESCAPED_SLASHES) . "\n", FILE_APPEND | LOCK_EX);

if ($path === '/fail/upload.php') {
    http_response_code(500);
    echo "boom\n";
    return true;
}
if ($path === '/moved/upload.php') {
    header('Location: /upload.php', true, 307);
    return true;
}
if ($path === '/hold/upload.php') {
    $deadline = time() + 120;
    while (!file_exists($logDir . '/release') && time() < $deadline) {
        usleep(10000);
    }
}
setcookie('monitor_session', 'abc123');
require getenv('REPORT_SERVER_SCRIPT');
