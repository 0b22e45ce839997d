// datagram_seal.cpp - AES-256-GCM sealing and opening of multicast datagrams with OpenSSL 3
// (see datagram_seal.h).
#include "messaging/datagram_seal.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <random>
#include <utility>

#include "common/little_endian.h"
#include "messaging/multicast_fragments.h"

namespace qx {
namespace {

constexpr std::size_t kNonceBytes = 12;
constexpr char kDeriveLabel[] = "qx multicast datagram key v1";

// Header fields beyond the plain fragment header.
constexpr std::size_t kFlagsAt = 5;
constexpr std::size_t kHeaderBytesAt = 6;
constexpr std::size_t kSenderAt = 8;
constexpr std::size_t kIncarnationLowAt = 12;
constexpr std::size_t kKeyIdAt = 32;
constexpr std::size_t kIncarnationHighAt = 36;
constexpr std::size_t kSequenceAt = 40;

void PutLe64(std::uint8_t* out, std::uint64_t value) {
  PutLe32(out, static_cast<std::uint32_t>(value));
  PutLe32(out + 4, static_cast<std::uint32_t>(value >> 32));
}

std::uint64_t GetLe64(const std::uint8_t* in) {
  return GetLe32(in) | (std::uint64_t{GetLe32(in + 4)} << 32);
}

std::uint64_t RandomIncarnation() {
  std::uint64_t value = 0;
  while (value == 0) {
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&value), sizeof value) != 1) {
      std::random_device device;
      value = (std::uint64_t{device()} << 32) | device();
    }
  }
  return value;
}

// The key of one sender incarnation: HKDF-SHA256 of the cluster key with the label, the sender
// id and the incarnation as info.
bool DeriveKey(const KeyBytes& clusterKey, std::uint32_t senderId, std::uint64_t incarnation,
               KeyBytes* derived) {
  struct KdfFree {
    void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
    void operator()(EVP_KDF_CTX* context) const { EVP_KDF_CTX_free(context); }
  };
  static const std::unique_ptr<EVP_KDF, KdfFree> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  if (!kdf) return false;
  const std::unique_ptr<EVP_KDF_CTX, KdfFree> context(EVP_KDF_CTX_new(kdf.get()));
  if (!context) return false;
  std::uint8_t info[sizeof kDeriveLabel - 1 + 12];
  std::memcpy(info, kDeriveLabel, sizeof kDeriveLabel - 1);
  PutLe32(info + sizeof kDeriveLabel - 1, senderId);
  PutLe64(info + sizeof kDeriveLabel + 3, incarnation);
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(
          OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(clusterKey.data()), clusterKey.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info, sizeof info),
      OSSL_PARAM_construct_end()};
  return EVP_KDF_derive(context.get(), derived->data(), derived->size(), params) == 1;
}

void NonceOf(std::uint64_t sequence, std::uint8_t* nonce) {
  PutLe32(nonce, 0);
  PutLe64(nonce + 4, sequence);
}

}  // namespace

// One EVP cipher context, set up for AES-256-GCM with a 12-byte nonce once.
class GcmCipher {
 public:
  GcmCipher() : context_(EVP_CIPHER_CTX_new()) {
    ready_ = context_ != nullptr &&
             EVP_CipherInit_ex(context_, EVP_aes_256_gcm(), nullptr, nullptr, nullptr, 1) == 1 &&
             EVP_CIPHER_CTX_ctrl(context_, EVP_CTRL_GCM_SET_IVLEN, kNonceBytes, nullptr) == 1;
  }
  ~GcmCipher() { EVP_CIPHER_CTX_free(context_); }
  GcmCipher(const GcmCipher&) = delete;
  GcmCipher& operator=(const GcmCipher&) = delete;

  // Encrypts in into out (in.size() bytes) and writes the tag; key may be null to keep the one
  // set before.
  bool Encrypt(const std::uint8_t* key, const std::uint8_t* nonce, std::string_view aad,
               std::string_view in, std::uint8_t* out, std::uint8_t* tag) {
    int length = 0;
    return ready_ && EVP_CipherInit_ex(context_, nullptr, nullptr, key, nonce, 1) == 1 &&
           Update(aad, nullptr) && Update(in, out) &&
           EVP_CipherFinal_ex(context_, out + in.size(), &length) == 1 && length == 0 &&
           EVP_CIPHER_CTX_ctrl(context_, EVP_CTRL_GCM_GET_TAG, kSealTagBytes, tag) == 1;
  }

  // Decrypts in into out (in.size() bytes); false when the tag does not check (out is then
  // garbage that the caller throws away).
  bool Decrypt(const std::uint8_t* key, const std::uint8_t* nonce, std::string_view aad,
               std::string_view in, const std::uint8_t* tag, std::uint8_t* out) {
    int length = 0;
    return ready_ && EVP_CipherInit_ex(context_, nullptr, nullptr, key, nonce, 0) == 1 &&
           Update(aad, nullptr) && Update(in, out) &&
           EVP_CIPHER_CTX_ctrl(context_, EVP_CTRL_GCM_SET_TAG, kSealTagBytes,
                               const_cast<std::uint8_t*>(tag)) == 1 &&
           EVP_CipherFinal_ex(context_, out + in.size(), &length) == 1 && length == 0;
  }

 private:
  bool Update(std::string_view in, std::uint8_t* out) {
    if (in.empty()) return true;
    if (in.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return false;
    int length = 0;
    return EVP_CipherUpdate(context_, out, &length,
                            reinterpret_cast<const std::uint8_t*>(in.data()),
                            static_cast<int>(in.size())) == 1 &&
           static_cast<std::size_t>(length) == in.size();
  }

  EVP_CIPHER_CTX* context_;
  bool ready_ = false;
};

// ---- sealer ----

DatagramSealer::DatagramSealer(std::uint32_t senderId)
    : senderId_(senderId),
      incarnation_(RandomIncarnation()),
      cipher_(std::make_unique<GcmCipher>()) {}

DatagramSealer::~DatagramSealer() {
  OPENSSL_cleanse(clusterKey_.data(), clusterKey_.size());
  OPENSSL_cleanse(derived_.data(), derived_.size());
}

bool DatagramSealer::Seal(const ClusterKey& key, std::string_view plain, SealPath path,
                          std::string* sealed) {
  std::string_view payload;
  const std::optional<FragmentHeader> header = ParseFragment(plain, &payload);
  if (!header || header->flags != 0 || header->headerBytes != kFragmentHeaderBytes || key.id == 0 ||
      nextSequence_ == std::numeric_limits<std::uint64_t>::max()) {
    return false;
  }
  const std::uint8_t* newKey = nullptr;  // the cipher keeps the derived key while it is the same
  if (keyId_ != key.id || clusterKey_ != key.bytes) {
    keyId_ = 0;
    if (!DeriveKey(key.bytes, senderId_, incarnation_, &derived_)) return false;
    keyId_ = key.id;
    clusterKey_ = key.bytes;
    newKey = derived_.data();
  }
  std::string out(kSealedHeaderBytes + payload.size() + kSealTagBytes, '\0');
  auto* bytes = reinterpret_cast<std::uint8_t*>(out.data());
  std::memcpy(bytes, plain.data(), kFragmentHeaderBytes);
  bytes[kFlagsAt] =
      path == SealPath::kStation ? kFragmentSealedFlag | kSealedToStationFlag : kFragmentSealedFlag;
  PutLe16(bytes + kHeaderBytesAt, static_cast<std::uint16_t>(kSealedHeaderBytes));
  PutLe32(bytes + kSenderAt, senderId_);
  PutLe32(bytes + kIncarnationLowAt, incarnationLow());
  PutLe32(bytes + kKeyIdAt, key.id);
  PutLe32(bytes + kIncarnationHighAt, static_cast<std::uint32_t>(incarnation_ >> 32));
  const std::uint64_t sequence = nextSequence_;
  PutLe64(bytes + kSequenceAt, sequence);
  std::uint8_t nonce[kNonceBytes];
  NonceOf(sequence, nonce);
  // The sequence number is spent whatever happens next: a nonce is never offered twice.
  ++nextSequence_;
  const std::string_view aad(out.data(), kSealedHeaderBytes);
  if (!cipher_->Encrypt(newKey, nonce, aad, payload, bytes + kSealedHeaderBytes,
                        bytes + kSealedHeaderBytes + payload.size())) {
    keyId_ = 0;  // derive and set the key again next time
    return false;
  }
  *sealed = std::move(out);
  return true;
}

// ---- opener ----

DatagramOpener::DatagramOpener(std::size_t maxSenders)
    : maxSenders_(std::max<std::size_t>(1, maxSenders)), cipher_(std::make_unique<GcmCipher>()) {}

DatagramOpener::~DatagramOpener() {
  for (auto& [key, tracked] : senders_) {
    OPENSSL_cleanse(tracked.clusterKey.data(), tracked.clusterKey.size());
    OPENSSL_cleanse(tracked.derived.data(), tracked.derived.size());
  }
}

std::uint32_t SealedKeyId(std::string_view sealed) {
  if (sealed.size() < kSealedHeaderBytes) return 0;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(sealed.data());
  if (GetLe32(bytes) != kFragmentMagic || bytes[4] != kFragmentVersion) return 0;
  return GetLe32(bytes + kKeyIdAt);
}

std::optional<SealedHeader> ReadSealedHeader(std::string_view sealed) {
  if (sealed.size() < kSealedHeaderBytes) return std::nullopt;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(sealed.data());
  if (GetLe32(bytes) != kFragmentMagic || bytes[4] != kFragmentVersion ||
      (bytes[kFlagsAt] & kFragmentSealedFlag) == 0) {
    return std::nullopt;
  }
  SealedHeader header;
  header.path =
      (bytes[kFlagsAt] & kSealedToStationFlag) != 0 ? SealPath::kStation : SealPath::kGroup;
  header.senderId = GetLe32(bytes + kSenderAt);
  header.incarnation = GetLe32(bytes + kIncarnationLowAt) |
                       (std::uint64_t{GetLe32(bytes + kIncarnationHighAt)} << 32);
  return header;
}

OpenStatus DatagramOpener::Open(const KeyRing& ring, std::string_view sealed, SealPath path,
                                std::string* plain) {
  plain->clear();
  if (sealed.size() < kSealedHeaderBytes + kSealTagBytes) return OpenStatus::kMalformed;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(sealed.data());
  if (GetLe32(bytes) != kFragmentMagic || bytes[4] != kFragmentVersion) {
    return OpenStatus::kMalformed;
  }
  const std::uint8_t flags =
      path == SealPath::kStation ? kFragmentSealedFlag | kSealedToStationFlag : kFragmentSealedFlag;
  if (bytes[kFlagsAt] != flags || GetLe16(bytes + kHeaderBytesAt) != kSealedHeaderBytes) {
    return OpenStatus::kUnopenable;
  }
  const std::uint32_t keyId = GetLe32(bytes + kKeyIdAt);
  const ClusterKey* key = ring.InUse() != nullptr ? ring.Find(keyId) : nullptr;
  if (key == nullptr) return OpenStatus::kForeignKey;
  const std::uint64_t sequence = GetLe64(bytes + kSequenceAt);
  if (sequence == 0) return OpenStatus::kUnopenable;  // a sealer starts at 1
  const std::uint32_t senderId = GetLe32(bytes + kSenderAt);
  const std::uint64_t incarnation = GetLe32(bytes + kIncarnationLowAt) |
                                    (std::uint64_t{GetLe32(bytes + kIncarnationHighAt)} << 32);
  const SenderKey sender{senderId, incarnation, path};
  const auto found = senders_.find(sender);
  if (found != senders_.end() && !Fresh(found->second, sequence)) return OpenStatus::kReplayed;

  // The derived key: the one kept for this sender while its cluster key is the same.
  KeyBytes derived;
  const bool known = found != senders_.end() && found->second.keyId == keyId &&
                     found->second.clusterKey == key->bytes;
  if (known) {
    derived = found->second.derived;
  } else if (!DeriveKey(key->bytes, senderId, incarnation, &derived)) {
    return OpenStatus::kUnopenable;
  }
  std::uint8_t nonce[kNonceBytes];
  NonceOf(sequence, nonce);
  const std::size_t payloadBytes = sealed.size() - kSealedHeaderBytes - kSealTagBytes;
  std::string out(kFragmentHeaderBytes + payloadBytes, '\0');
  auto* outBytes = reinterpret_cast<std::uint8_t*>(out.data());
  const bool opened =
      cipher_->Decrypt(derived.data(), nonce, sealed.substr(0, kSealedHeaderBytes),
                       sealed.substr(kSealedHeaderBytes, payloadBytes),
                       bytes + kSealedHeaderBytes + payloadBytes, outBytes + kFragmentHeaderBytes);
  if (!opened) {
    OPENSSL_cleanse(derived.data(), derived.size());
    return OpenStatus::kUnopenable;
  }

  // Authentic: the sender is tracked (or tracked on), the sequence number spent.
  auto tracked = found;
  if (tracked == senders_.end()) {
    if (senders_.size() >= maxSenders_) MakeRoom();
    tracked = senders_.emplace(sender, Tracked{}).first;
  }
  tracked->second.keyId = keyId;
  tracked->second.clusterKey = key->bytes;
  tracked->second.derived = derived;
  tracked->second.lastUse = ++uses_;
  Remember(&tracked->second, sequence);
  OPENSSL_cleanse(derived.data(), derived.size());

  // The plain fragment datagram, as the sender split it.
  std::memcpy(outBytes, bytes, kFragmentHeaderBytes);
  outBytes[kFlagsAt] = 0;
  PutLe16(outBytes + kHeaderBytesAt, static_cast<std::uint16_t>(kFragmentHeaderBytes));
  PutLe32(outBytes + kKeyIdAt, 0);
  PutLe32(outBytes + kIncarnationHighAt, 0);
  *plain = std::move(out);
  return OpenStatus::kOpened;
}

bool DatagramOpener::Fresh(const Tracked& tracked, std::uint64_t sequence) {
  if (sequence > tracked.highest) return true;
  if (tracked.highest - sequence >= kReplayWindow) return false;  // older than the window
  const std::uint64_t bit = sequence % kReplayWindow;
  return (tracked.seen[bit / 64] & (std::uint64_t{1} << (bit % 64))) == 0;
}

void DatagramOpener::Remember(Tracked* tracked, std::uint64_t sequence) {
  if (sequence > tracked->highest) {
    // The slots of the numbers skipped over now stand for them, not for numbers a window ago.
    if (sequence - tracked->highest >= kReplayWindow) {
      tracked->seen.fill(0);
    } else {
      for (std::uint64_t n = tracked->highest + 1; n < sequence; ++n) {
        const std::uint64_t bit = n % kReplayWindow;
        tracked->seen[bit / 64] &= ~(std::uint64_t{1} << (bit % 64));
      }
    }
    tracked->highest = sequence;
  }
  const std::uint64_t bit = sequence % kReplayWindow;
  tracked->seen[bit / 64] |= std::uint64_t{1} << (bit % 64);
}

void DatagramOpener::MakeRoom() {
  auto oldest = senders_.begin();
  for (auto it = senders_.begin(); it != senders_.end(); ++it) {
    if (it->second.lastUse < oldest->second.lastUse) oldest = it;
  }
  if (oldest == senders_.end()) return;
  OPENSSL_cleanse(oldest->second.clusterKey.data(), oldest->second.clusterKey.size());
  OPENSSL_cleanse(oldest->second.derived.data(), oldest->second.derived.size());
  senders_.erase(oldest);
}

}  // namespace qx
