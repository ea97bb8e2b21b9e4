// The arguments of KelvoClient's events, one class per event, so that
// WaitForAsync<T> names the event it waits for. Records and texts are copies:
// they stay valid after the handler returns.
using System;

namespace Kelvo
{
    /// <summary>Which sink operation a chat came through.</summary>
    public enum ChatSource
    {
        /// <summary>Plain chat or a server notice.</summary>
        Chat,
        /// <summary>Chat carrying a double (<see cref="ChatMessageEventArgs.Value"/>).</summary>
        ChatEx,
        /// <summary>Stored while the user was offline, delivered at login.</summary>
        Offline,
    }

    /// <summary>Outcome of Connect (<see cref="KelvoClient.Connected"/>).</summary>
    public sealed class ConnectedEventArgs : EventArgs
    {
        internal ConnectedEventArgs(ConnectResult result) { Result = result; }
        /// <summary>Connected, or why not.</summary>
        public ConnectResult Result { get; private set; }
        /// <summary>True when connected.</summary>
        public bool Succeeded { get { return Result == ConnectResult.Succeeded; } }
    }

    /// <summary>The connection was lost (<see cref="KelvoClient.Closed"/>); Close raises none.</summary>
    public sealed class ClosedEventArgs : EventArgs
    {
        internal ClosedEventArgs(uint reason) { Reason = reason; }
        /// <summary>Always 0.</summary>
        public uint Reason { get; private set; }
    }

    /// <summary>
    /// The login is complete (<see cref="KelvoClient.LoginCompleted"/>):
    /// <see cref="KelvoClient.MyInfo"/>, the groups and the friends are in.
    /// </summary>
    public sealed class LoginCompletedEventArgs : EventArgs
    {
        internal LoginCompletedEventArgs() { }
    }

    /// <summary>Server information opening a login (<see cref="KelvoClient.ServerInfoReceived"/>).</summary>
    public sealed class ServerInfoEventArgs : EventArgs
    {
        internal ServerInfoEventArgs() { }
    }

    /// <summary>The server's answer to Login (<see cref="KelvoClient.LoginResultReceived"/>).</summary>
    public sealed class LoginResultEventArgs : EventArgs
    {
        internal LoginResultEventArgs(LoginCode result, string text) { Result = result; Text = text; }
        /// <summary>Logged in or refused.</summary>
        public LoginCode Result { get; private set; }
        /// <summary>The server's reason when refused, else empty.</summary>
        public string Text { get; private set; }
        /// <summary>True when logged in.</summary>
        public bool Succeeded { get { return Result == LoginCode.Succeeded; } }
    }

    /// <summary>Forced logout (<see cref="KelvoClient.LoggedOut"/>): the account logged in elsewhere, or an operator's kick.</summary>
    public sealed class LoggedOutEventArgs : EventArgs
    {
        internal LoggedOutEventArgs() { }
    }

    /// <summary>Result of AddUser, or a game master coming online (<see cref="KelvoClient.AddUserResultReceived"/>).</summary>
    public sealed class AddUserResultEventArgs : EventArgs
    {
        internal AddUserResultEventArgs(AddUserCode result, UserRecord user) { Result = result; User = user; }
        /// <summary>What happened.</summary>
        public AddUserCode Result { get; private set; }
        /// <summary>The user concerned.</summary>
        public UserRecord User { get; private set; }
    }

    /// <summary>The other user declined the own add request (<see cref="KelvoClient.AddUserReplyReceived"/>).</summary>
    public sealed class AddUserReplyEventArgs : EventArgs
    {
        internal AddUserReplyEventArgs(AddUserReplyCode result, UserRecord user) { Result = result; User = user; }
        /// <summary>Always <see cref="AddUserReplyCode.Declined"/>.</summary>
        public AddUserReplyCode Result { get; private set; }
        /// <summary>The user who declined.</summary>
        public UserRecord User { get; private set; }
    }

    /// <summary>Result of RemoveUser, or a game master going offline (<see cref="KelvoClient.RemoveUserResultReceived"/>).</summary>
    public sealed class RemoveUserResultEventArgs : EventArgs
    {
        internal RemoveUserResultEventArgs(RemoveUserCode result, uint userId) { Result = result; UserId = userId; }
        /// <summary>What happened.</summary>
        public RemoveUserCode Result { get; private set; }
        /// <summary>The user concerned.</summary>
        public uint UserId { get; private set; }
    }

    /// <summary>Result of MoveUser, and of some add and remove results (<see cref="KelvoClient.MoveUserResultReceived"/>).</summary>
    public sealed class MoveUserResultEventArgs : EventArgs
    {
        internal MoveUserResultEventArgs(MoveUserCode result, uint userId) { Result = result; UserId = userId; }
        /// <summary>What happened.</summary>
        public MoveUserCode Result { get; private set; }
        /// <summary>The friend concerned.</summary>
        public uint UserId { get; private set; }
    }

    /// <summary>Result of AddGroup (<see cref="KelvoClient.AddGroupResultReceived"/>).</summary>
    public sealed class AddGroupResultEventArgs : EventArgs
    {
        internal AddGroupResultEventArgs(AddGroupCode result, GroupRecord group) { Result = result; Group = group; }
        /// <summary>What happened.</summary>
        public AddGroupCode Result { get; private set; }
        /// <summary>The new group (or, with NameTaken, the group that has the name).</summary>
        public GroupRecord Group { get; private set; }
    }

    /// <summary>Result of RenameGroup or a group update (<see cref="KelvoClient.UpdateGroupResultReceived"/>).</summary>
    public sealed class UpdateGroupResultEventArgs : EventArgs
    {
        internal UpdateGroupResultEventArgs(UpdateGroupCode result, uint groupId) { Result = result; GroupId = groupId; }
        /// <summary>What happened.</summary>
        public UpdateGroupCode Result { get; private set; }
        /// <summary>The group concerned.</summary>
        public uint GroupId { get; private set; }
    }

    /// <summary>Result of DeleteGroup (<see cref="KelvoClient.DeleteGroupResultReceived"/>).</summary>
    public sealed class DeleteGroupResultEventArgs : EventArgs
    {
        internal DeleteGroupResultEventArgs(DeleteGroupCode result, uint groupId) { Result = result; GroupId = groupId; }
        /// <summary>What happened.</summary>
        public DeleteGroupCode Result { get; private set; }
        /// <summary>The group concerned.</summary>
        public uint GroupId { get; private set; }
    }

    /// <summary>A chat, a server notice or a stored offline message (<see cref="KelvoClient.ChatMessageReceived"/>).</summary>
    public sealed class ChatMessageEventArgs : EventArgs
    {
        /// <summary>Bytes in <see cref="Block"/>.</summary>
        public const int BlockSize = 38;

        internal ChatMessageEventArgs(ChatSource source, MessageKind kind, uint sender, double value, string text,
                                      byte value1, byte value2, byte value3, byte[] block, uint extra)
        {
            Source = source; Kind = kind; Sender = sender; Value = value; Text = text;
            Value1 = value1; Value2 = value2; Value3 = value3; Block = block; Extra = extra;
        }

        /// <summary>Which sink operation it came through.</summary>
        public ChatSource Source { get; private set; }
        /// <summary>Chat from a user, or which server notice.</summary>
        public MessageKind Kind { get; private set; }
        /// <summary>The sender's user id (a notice: its source value).</summary>
        public uint Sender { get; private set; }
        /// <summary>The double of ChatEx and offline messages (kelvo-server: the send time, seconds since the epoch); 0 for plain chat.</summary>
        public double Value { get; private set; }
        /// <summary>The text, decoded from GBK.</summary>
        public string Text { get; private set; }
        /// <summary>The sender's chat1 byte.</summary>
        public byte Value1 { get; private set; }
        /// <summary>The sender's chat2 byte.</summary>
        public byte Value2 { get; private set; }
        /// <summary>The sender's chat3 byte.</summary>
        public byte Value3 { get; private set; }
        /// <summary>The 38 uninterpreted bytes of an offline message (kelvo-server: the sender's GBK name), else null.</summary>
        public byte[] Block { get; private set; }
        /// <summary>The extra value of an offline message.</summary>
        public uint Extra { get; private set; }
    }

    /// <summary>Another user asks to be added (<see cref="KelvoClient.AddUserRequestReceived"/>); answer with ReplyAddRequest.</summary>
    public sealed class AddUserRequestEventArgs : EventArgs
    {
        internal AddUserRequestEventArgs(uint userId) { UserId = userId; }
        /// <summary>The asker; read him with TryGetAddRequest.</summary>
        public uint UserId { get; private set; }
    }

    /// <summary>A friend's online state changed (<see cref="KelvoClient.OnlineStateChanged"/>).</summary>
    public sealed class OnlineStateChangedEventArgs : EventArgs
    {
        internal OnlineStateChangedEventArgs(uint userId) { UserId = userId; }
        /// <summary>The friend; TryGetUser shows the new state.</summary>
        public uint UserId { get; private set; }
    }

    /// <summary>A friend entered a game server (<see cref="KelvoClient.UserEnteredGameServer"/>).</summary>
    public sealed class UserEnteredGameServerEventArgs : EventArgs
    {
        internal UserEnteredGameServerEventArgs(uint userId) { UserId = userId; }
        /// <summary>The friend; TryGetUser shows the game server.</summary>
        public uint UserId { get; private set; }
    }

    /// <summary>A friend left a game server (<see cref="KelvoClient.UserLeftGameServer"/>).</summary>
    public sealed class UserLeftGameServerEventArgs : EventArgs
    {
        internal UserLeftGameServerEventArgs(uint userId) { UserId = userId; }
        /// <summary>The friend.</summary>
        public uint UserId { get; private set; }
    }

    /// <summary>A diagnostic text of the module (<see cref="KelvoClient.LogReceived"/>).</summary>
    public sealed class LogEventArgs : EventArgs
    {
        internal LogEventArgs(string text) { Text = text; }
        /// <summary>The text, decoded from GBK.</summary>
        public string Text { get; private set; }
    }

    /// <summary>A single search result (<see cref="KelvoClient.SearchUserResultReceived"/>).</summary>
    public sealed class SearchUserResultEventArgs : EventArgs
    {
        internal SearchUserResultEventArgs(SearchUserResult result) { Result = result; }
        /// <summary>The four values, in message order.</summary>
        public SearchUserResult Result { get; private set; }
    }

    /// <summary>One user of a search result list (<see cref="KelvoClient.SearchUserListItemReceived"/>).</summary>
    public sealed class SearchUserListItemEventArgs : EventArgs
    {
        internal SearchUserListItemEventArgs(UserRecord user) { User = user; }
        /// <summary>The user found.</summary>
        public UserRecord User { get; private set; }
    }

    /// <summary>The end of a search result list (<see cref="KelvoClient.SearchUserListEnded"/>).</summary>
    public sealed class SearchUserListEndEventArgs : EventArgs
    {
        internal SearchUserListEndEventArgs(uint count) { Count = count; }
        /// <summary>How many users the list held.</summary>
        public uint Count { get; private set; }
    }

    /// <summary>An event handler threw (<see cref="KelvoClient.HandlerFailed"/>).</summary>
    public sealed class HandlerFailedEventArgs : EventArgs
    {
        internal HandlerFailedEventArgs(Exception exception, EventArgs failedEvent) { Exception = exception; Event = failedEvent; }
        /// <summary>What the handler threw.</summary>
        public Exception Exception { get; private set; }
        /// <summary>The event it was handling.</summary>
        public EventArgs Event { get; private set; }
    }
}
