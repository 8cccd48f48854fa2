<?php
// Reference report server: accepts the monitor's multipart report upload and stores the report.
//
// Run it with PHP's request-body parsing off, because PHP drops a form part with an empty name
// and this form ends with one; the script reads and checks the body itself:
//   REPORT_STORAGE_DIR=/srv/reports php -d enable_post_data_reading=0 -S 0.0.0.0:8080 server/upload.php
// Reports land in REPORT_STORAGE_DIR (default: ./reports beside this script; made when missing)
// under names the server makes up; uploads.log there gets one JSON line per stored report.

declare(strict_types=1);

const FORM_MAX_FILE_SIZE = 300000;
const BODY_LIMIT = FORM_MAX_FILE_SIZE + 64 * 1024;  // the report plus the form's own overhead

function answer(int $status, string $text): never
{
    http_response_code($status);
    header('Content-Type: text/plain; charset=utf-8');
    echo $text, "\n";
    exit;
}

// Parameters of a header value such as: form-data; name="userfile"; filename="a.txt"
function header_params(string $value): array
{
    $params = [];
    preg_match_all('/;\s*([A-Za-z0-9_*-]+)\s*=\s*(?:"((?:[^"\\\\]|\\\\.)*)"|([^;\s]*))/', $value, $found, PREG_SET_ORDER);
    foreach ($found as $m) {
        $params[strtolower($m[1])] = isset($m[3]) && $m[3] !== '' ? $m[3] : preg_replace('/\\\\(.)/s', '$1', $m[2]);
    }
    return $params;
}

// One part: its form name, file name (null when none), content type and body.
function parse_part(string $raw): array
{
    $split = strpos($raw, "\r\n\r\n");
    if ($split === false) {
        answer(400, 'Malformed form part');
    }
    $part = ['name' => null, 'filename' => null, 'type' => null, 'body' => substr($raw, $split + 4)];
    foreach (explode("\r\n", substr($raw, 0, $split)) as $line) {
        $colon = strpos($line, ':');
        if ($colon === false) {
            answer(400, 'Malformed part header');
        }
        $field = strtolower(trim(substr($line, 0, $colon)));
        $value = trim(substr($line, $colon + 1));
        if ($field === 'content-disposition') {
            if (strtolower(strtok($value, ';')) !== 'form-data') {
                answer(400, 'Part is not form data');
            }
            $params = header_params($value);
            $part['name'] = $params['name'] ?? null;
            $part['filename'] = $params['filename'] ?? null;
        } elseif ($field === 'content-type') {
            $part['type'] = $value;
        }
    }
    if ($part['name'] === null) {
        answer(400, 'Form part without a name');
    }
    return $part;
}

function parse_form(string $body, string $boundary): array
{
    $delimiter = '--' . $boundary;
    if (strncmp($body, $delimiter, strlen($delimiter)) !== 0) {
        answer(400, 'Body does not start with the boundary');
    }
    $parts = [];
    $offset = strlen($delimiter);
    while (true) {
        if (substr($body, $offset, 2) === '--') {
            return $parts;
        }
        if (substr($body, $offset, 2) !== "\r\n") {
            answer(400, 'Malformed boundary line');
        }
        $offset += 2;
        $next = strpos($body, "\r\n" . $delimiter, $offset);
        if ($next === false) {
            answer(400, 'Unterminated form part');
        }
        $parts[] = parse_part(substr($body, $offset, $next - $offset));
        if (count($parts) > 3) {
            answer(400, 'Unexpected form part');
        }
        $offset = $next + 2 + strlen($delimiter);
    }
}

$path = (string)parse_url($_SERVER['REQUEST_URI'] ?? '/', PHP_URL_PATH);
if (basename($path) !== 'upload.php') {
    answer(404, 'Not found');
}
if (($_SERVER['REQUEST_METHOD'] ?? '') !== 'POST') {
    header('Allow: POST');
    answer(405, 'Only POST is accepted');
}
if (ini_get('enable_post_data_reading')) {
    answer(500, 'Server misconfigured: run PHP with enable_post_data_reading=0');
}

$contentType = $_SERVER['CONTENT_TYPE'] ?? '';
if (stripos($contentType, 'multipart/form-data') !== 0) {
    answer(415, 'Expected multipart/form-data');
}
$boundary = header_params(substr($contentType, strlen('multipart/form-data')))['boundary'] ?? '';
if (!preg_match('/^[0-9A-Za-z\'()+_,\-.\/:=? ]{1,70}$/', $boundary)) {
    answer(400, 'Missing or invalid boundary');
}
if ((int)($_SERVER['CONTENT_LENGTH'] ?? 0) > BODY_LIMIT) {
    answer(413, 'Request too large');
}
$input = fopen('php://input', 'rb');
$body = $input === false ? false : stream_get_contents($input, BODY_LIMIT + 1);
if ($body === false) {
    answer(400, 'Could not read the request body');
}
if (strlen($body) > BODY_LIMIT) {
    answer(413, 'Request too large');
}

// Exactly the monitor's form, in its order: MAX_FILE_SIZE, userfile, and the unnamed "--".
$parts = parse_form($body, $boundary);
if (count($parts) !== 3) {
    answer(400, 'Expected three form parts');
}
[$maxPart, $filePart, $endPart] = $parts;
if ($maxPart['name'] !== 'MAX_FILE_SIZE' || $maxPart['filename'] !== null
    || !preg_match('/^[1-9][0-9]{0,8}$/', $maxPart['body'])) {
    answer(400, 'Expected MAX_FILE_SIZE first');
}
if ($filePart['name'] !== 'userfile' || $filePart['filename'] === null || $filePart['filename'] === '') {
    answer(400, 'Expected the file part "userfile"');
}
if ($endPart['name'] !== '' || $endPart['filename'] !== null || $endPart['body'] !== '--') {
    answer(400, 'Expected the unnamed part "--"');
}
$maxFileSize = min((int)$maxPart['body'], FORM_MAX_FILE_SIZE);
if (strlen($filePart['body']) > $maxFileSize) {
    answer(413, 'Report larger than MAX_FILE_SIZE');
}
$type = strtolower(trim(explode(';', (string)$filePart['type'])[0]));
if ($type !== 'text/plain' || str_contains($filePart['body'], "\0")) {
    answer(415, 'The report must be text/plain');
}

// The client's file name is only logged; the stored name is ours, so it cannot leave the directory.
$storage = getenv('REPORT_STORAGE_DIR') ?: __DIR__ . '/reports';
if (!is_dir($storage)) {
    @mkdir($storage, 0700, true);
}
if (!is_dir($storage) || !is_writable($storage)) {
    answer(500, 'Report storage directory is not available');
}
$stored = gmdate('Ymd\THis\Z') . '-' . bin2hex(random_bytes(8)) . '.txt';
$target = rtrim($storage, '/') . '/' . $stored;
$out = @fopen($target, 'xb');
if ($out === false) {
    answer(500, 'Could not store the report');
}
chmod($target, 0600);
$written = fwrite($out, $filePart['body']);
if (!fclose($out) || $written !== strlen($filePart['body'])) {
    @unlink($target);
    answer(500, 'Could not store the report');
}

$entry = json_encode([
    'time' => gmdate('c'),
    'remote_addr' => $_SERVER['REMOTE_ADDR'] ?? '',
    'user_agent' => $_SERVER['HTTP_USER_AGENT'] ?? '',
    'max_file_size' => $maxPart['body'],
    'file_name' => $filePart['filename'],
    'content_type' => $filePart['type'],
    'unnamed_part' => $endPart['body'],
    'size' => strlen($filePart['body']),
    'stored_as' => $stored,
], JSON_UNESCAPED_SLASHES | JSON_INVALID_UTF8_SUBSTITUTE);
file_put_contents(rtrim($storage, '/') . '/uploads.log', $entry . "\n", FILE_APPEND | LOCK_EX);

answer(200, 'Report stored');
