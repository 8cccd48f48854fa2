<?php
// Test-only HTTPS front: makes a throw-away certificate for 127.0.0.1, terminates TLS and relays
// each request to a plain HTTP backend. Usage: php tls_front.php <port> <backend port> <dir>
// The certificate is written to <dir>/cert.pem before the port starts listening.

[, $port, $backendPort, $dir] = $argv;

$config = "$dir/openssl.cnf";
file_put_contents($config, "[req]\ndistinguished_name = dn\n[dn]\n[ext]\n"
    . "subjectAltName = IP:127.0.0.1\nbasicConstraints = critical,CA:TRUE\n");
$options = ['config' => $config, 'digest_alg' => 'sha256'];
$key = openssl_pkey_new($options + ['private_key_type' => OPENSSL_KEYTYPE_RSA, 'private_key_bits' => 2048]);
$csr = $key ? openssl_csr_new(['commonName' => '127.0.0.1'], $key, $options) : false;
$cert = $csr ? openssl_csr_sign($csr, null, $key, 1, $options + ['x509_extensions' => 'ext'], random_int(1, PHP_INT_MAX)) : false;
if (!$cert || !openssl_pkey_export_to_file($key, "$dir/key.pem", null, $options)
    || !openssl_x509_export_to_file($cert, "$dir/cert.pem")) {
    fwrite(STDERR, "certificate: " . openssl_error_string() . "\n");
    exit(1);
}

$context = stream_context_create(['ssl' => ['local_cert' => "$dir/cert.pem", 'local_pk' => "$dir/key.pem"]]);
$server = stream_socket_server("tls://127.0.0.1:$port", $errno, $errstr,
    STREAM_SERVER_BIND | STREAM_SERVER_LISTEN, $context);
if ($server === false) {
    fwrite(STDERR, "listen failed: $errstr\n");
    exit(1);
}

while (true) {
    $client = @stream_socket_accept($server, -1);
    if ($client === false) {
        continue;  // a probe that connected and left without a handshake
    }
    $request = '';
    while (!str_contains($request, "\r\n\r\n")) {
        $chunk = fread($client, 65536);
        if ($chunk === false || $chunk === '') {
            break;
        }
        $request .= $chunk;
    }
    $headerEnd = strpos($request, "\r\n\r\n");
    if ($headerEnd === false) {
        fclose($client);
        continue;
    }
    $length = preg_match('/\r\ncontent-length:\s*(\d+)/i', substr($request, 0, $headerEnd), $m) ? (int)$m[1] : 0;
    while (strlen($request) < $headerEnd + 4 + $length) {
        $chunk = fread($client, 65536);
        if ($chunk === false || $chunk === '') {
            break;
        }
        $request .= $chunk;
    }
    $backend = stream_socket_client("tcp://127.0.0.1:$backendPort");
    fwrite($backend, $request);
    fwrite($client, stream_get_contents($backend));
    fclose($backend);
    fclose($client);
}
