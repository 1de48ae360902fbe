#include <string>
#include <string_view>

#include "app/Branding.h"
#include "app/Text.h"
#include "commands/Handlers.h"
#include "db/Mobidex.h"
#include "update/CheckUpdate.h"
#include "update/ServiceAddress.h"
#include "update/UpdateDatabase.h"

namespace vettrix {
namespace {

// CurrentIMEI holds whatever the user typed; encoding every byte but the unreserved ones keeps
// it inside the query value, while a plain IMEI stays exactly as written.
std::string PercentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                            (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      encoded += ch;
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 0x0F];
    }
  }
  return encoded;
}

// The service's address for the window: a setting that is no web address is reported once, then
// the build setting used.
std::string ServiceUrl(Form1& form) {
  ServiceAddress address = ResolveServiceAddress(form.platform.ServiceUrlSetting());
  if (!address.problem.empty() && !form.serviceSettingReported) {
    form.serviceSettingReported = true;
    form.platform.MsgBox(address.problem);
  }
  return std::move(address.url);
}

void Open(Form1& form, const std::string& url) {
  if (!form.platform.OpenUrl(url))
    form.platform.MsgBox("No web browser could be started for " + Quoted(url, 200));
}

void Copy(Form1& form, std::string_view text) {
  if (!form.platform.SetClipboardText(text))
    form.platform.MsgBox("The clipboard could not be opened; nothing was copied.");
}

}  // namespace

void About_Click(Form1& form) {
  std::string text = "Vettrix v" + form.ProgramVersionText + " by ";
  text += kMakerName;
  text += "\r\nE-mail: ";
  text += kMakerEmail;
  text += "\r\nSocial media: ";
  text += kMakerSocial;
  text += "\r\nWeb site: ";
  text += kMakerSiteUrl;
  form.platform.MsgBox(text);
}

void ProgramUpdate_Click(Form1& form) {
  CheckUpdate(form, ServiceUrl(form));
}

void DBUpdate_Click(Form1& form) {
  CheckUpdateDB(form, ServiceUrl(form));
}

void DBInstall_Click(Form1& form) {
  const std::string target = form.platform.UserDatabaseFile();
  const DatabaseUpdate update = UpdateDatabase(form.platform, form.platform, ServiceUrl(form),
                                               form.databasePath, target, false);
  const std::string was = update.oldVersion.empty() ? "none" : update.oldVersion;
  switch (update.outcome) {
    case DatabaseUpdate::Outcome::Installed: {
      if (!ShowMobidex(form, target)) {
        form.platform.MsgBox("The Mobidex update was saved as " + DisplayText(target) +
                             ", but it could not be read back; restart Vettrix to use it.");
        return;
      }
      FillDeviceTypes(form);
      form.platform.MsgBox("The Mobidex update is installed: version " + update.newVersion +
                           " with " + std::to_string(update.devices) + " devices (it was " + was +
                           "). It is in use now.");
      return;
    }
    case DatabaseUpdate::Outcome::Cancelled:
      form.platform.MsgBox("The Mobidex update was cancelled; your database is unchanged.");
      return;
    case DatabaseUpdate::Outcome::Failed: {
      std::string text = "The Mobidex update could not be installed: " + update.reason +
                         ".\r\nYour database is unchanged (" + was + ").";
      if (update.reason.starts_with(kUnreachable)) {
        text += ' ';
        text += ServiceAddressNote(form.platform.ServiceUrlSetting());
      }
      form.platform.MsgBox(text);
      return;
    }
    default:
      form.platform.MsgBox("You have the latest Mobidex version: " + was +
                           ". There is nothing to install.");
  }
}

void Label_Click(Form1& form, int labelNumber) {
  switch (labelNumber) {
    case 10:
      Copy(form, form.Label10.caption);
      break;
    case 24:
      Copy(form, form.Text1.text);
      break;
    case 13:
    case 14:
      // Only the not-found texts link to the submission page.
      if (!form.TACFound)
        Open(form, JoinUrl(ServiceUrl(form), "/?imei=" + PercentEncode(form.CurrentIMEI)));
      break;
    case 18:
      Open(form, std::string(kMakerSiteUrl));
      break;
    case 21:
      Open(form, JoinUrl(ServiceUrl(form), "/"));
      break;
    case 26:
      Open(form, std::string(kSourcePageUrl));
      break;
    case 27:
      Open(form, std::string(kCoveragePageUrl) + PercentEncode(form.CurrentIMEI));
      break;
    default:
      break;
  }
}

}  // namespace vettrix
